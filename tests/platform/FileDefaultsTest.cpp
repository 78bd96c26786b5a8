#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/Base64.h"
#include "platform/FileDefaults.h"

using platform::Date;
using platform::DefaultsValue;
using platform::FileDefaults;

namespace {

// As the application makes its store: the library in a file of its own.
const std::set<std::string> kSeparateKeys{"savedSnippetItems"};

class FileDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "sablix-defaults-XXXXXX").string();
        dir = ::mkdtemp(pattern.data());
        file = dir / "defaults.json";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string contents(const std::filesystem::path& path) const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        return buffer.str();
    }
    void overwrite(const std::string& bytes) const { std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes; }
    std::vector<std::filesystem::path> filesStartingWith(const std::string& prefix) const {
        std::vector<std::filesystem::path> found;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().filename().string().rfind(prefix, 0) == 0) found.push_back(e.path());
        return found;
    }

    std::filesystem::path dir;
    std::filesystem::path file;
};

}  // namespace

TEST_F(FileDefaultsTest, TypedValuesSurviveAndOtherInstancesSeeChanges) {
    FileDefaults first(file, kSeparateKeys);
    const DefaultsValue object(DefaultsValue::Object{{"keyCode", 49}, {"carbonModifiers", 768}});
    const DefaultsValue array(DefaultsValue::Array{"a", 1.5, true});
    ASSERT_TRUE(first.set("text", "h\xC3\xA9llo"));
    ASSERT_TRUE(first.set("count", int64_t{9007199254740993}));  // beyond a double's exact range
    ASSERT_TRUE(first.set("ratio", 0.1));
    ASSERT_TRUE(first.set("flag", false));
    ASSERT_TRUE(first.set("bytes", DefaultsValue::data(std::string("\0\xFF{\"$data\"", 10))));
    ASSERT_TRUE(first.set("when", Date{123.456}));
    ASSERT_TRUE(first.set("combo", object));
    ASSERT_TRUE(first.set("list", array));

    FileDefaults second(file, kSeparateKeys);
    EXPECT_EQ(second.string("text"), "h\xC3\xA9llo");
    EXPECT_EQ(second.integer("count"), 9007199254740993);
    EXPECT_EQ(second.doubleValue("ratio"), 0.1);
    EXPECT_EQ(second.object("flag"), DefaultsValue(false));
    EXPECT_EQ(second.data("bytes"), DefaultsValue::Data({0, 0xFF, '{', '"', '$', 'd', 'a', 't', 'a', '"'}));
    EXPECT_EQ(second.object("when"), DefaultsValue(Date{123.456}));
    EXPECT_EQ(second.object("combo"), object);
    EXPECT_EQ(second.object("list"), array);
    EXPECT_TRUE(second.loadError().empty());

    ASSERT_TRUE(second.set("text", "changed"));
    ASSERT_TRUE(second.remove("flag"));
    EXPECT_EQ(first.string("text"), "changed");
    EXPECT_FALSE(first.contains("flag"));
    EXPECT_EQ(first.integer("count"), 9007199254740993);  // a write keeps the other keys
}

TEST_F(FileDefaultsTest, DamagedFileIsCopiedWhenReadAndStaysReported) {
    const std::string damaged = "{\"kept\": 5, \"other\": {\"$data\": \"not base64!\"}}";
    overwrite(damaged);
    FileDefaults store(file, kSeparateKeys);
    EXPECT_EQ(store.integer("kept"), 5);  // what still reads is still there
    EXPECT_FALSE(store.contains("other"));
    auto backups = filesStartingWith("defaults.json.damaged-");
    ASSERT_EQ(backups.size(), 1u);  // made at once, before anything replaces the file
    EXPECT_EQ(contents(backups[0]), damaged);
    EXPECT_NE(store.loadError().find(backups[0].string()), std::string::npos);
    EXPECT_NE(store.damageNotice().find(backups[0].string()), std::string::npos);
    EXPECT_FALSE(FileDefaults(file, kSeparateKeys).loadError().empty());
    EXPECT_EQ(filesStartingWith("defaults.json.damaged-").size(), 1u);  // the same damage keeps its first copy

    ASSERT_TRUE(store.set("other", 1));
    EXPECT_FALSE(store.loadError().empty());  // still told, through the rest of start-up
    EXPECT_TRUE(FileDefaults(file, kSeparateKeys).loadError().empty());
    EXPECT_EQ(FileDefaults(file, kSeparateKeys).integer("kept"), 5);

    // A second damage in the same second gets its own backup.
    overwrite("not json at all");
    ASSERT_TRUE(store.set("other", 2));
    overwrite("[1, 2]");
    ASSERT_TRUE(store.set("other", 3));
    EXPECT_EQ(filesStartingWith("defaults.json.damaged-").size(), 3u);
    EXPECT_EQ(FileDefaults(file, kSeparateKeys).integer("other"), 3);
}

// Each damage users met made the whole file read as empty.
TEST_F(FileDefaultsTest, OneDamagedValueCostsOnlyItself) {
    const std::string library = "[{\"snippetTitle\": \"addr\"}]";
    const std::string others = "\"before\": \"x\", \"savedSnippetItems\": {\"$data\": \"" +
                               platform::base64Encode(library) + "\"}, \"after\": [1, 2.5, true]";
    struct Case {
        const char* what;
        std::string stored;
        std::optional<DefaultsValue> read;
    };
    const std::vector<Case> cases = {
        {"a byte that is not UTF-8", "\"caf\xFF\"", DefaultsValue("caf?")},
        {"a lone surrogate", "\"a\\ud800b \\\\ud800 \\ud83d\\ude00\"",
         DefaultsValue("a\xEF\xBF\xBD"
                       "b \\ud800 \xF0\x9F\x98\x80")},
        {"a number out of range", "1e400", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& backup : filesStartingWith("defaults.json.damaged-")) std::filesystem::remove(backup);
        const std::string bytes = "{" + others + ", \"damaged\": " + c.stored + "}";
        overwrite(bytes);
        FileDefaults store(file, kSeparateKeys);
        EXPECT_EQ(store.object("damaged"), c.read);
        EXPECT_FALSE(store.loadError().empty());
        const auto backups = filesStartingWith("defaults.json.damaged-");
        ASSERT_EQ(backups.size(), 1u);
        EXPECT_EQ(contents(backups[0]), bytes);

        ASSERT_TRUE(store.set("written", 1));
        FileDefaults next(file, kSeparateKeys);
        EXPECT_EQ(next.string("before"), "x");
        EXPECT_EQ(next.data("savedSnippetItems"), DefaultsValue::Data(library.begin(), library.end()));
        EXPECT_EQ(next.object("after"), DefaultsValue(DefaultsValue::Array{1, 2.5, true}));
        EXPECT_EQ(next.object("damaged"), c.read);
        std::filesystem::remove(store.separateFile("savedSnippetItems"));
    }
}

// Were it rewritten without the lost library, the next start would take the store for a fresh
// installation and store starter snippets over it.
TEST_F(FileDefaultsTest, LostLibraryIsStillReportedAtTheNextStart) {
    overwrite("{\"flag\": true, \"savedSnippetItems\": {\"$data\": [1e400]}}");
    {
        FileDefaults first(file, kSeparateKeys);
        EXPECT_FALSE(first.contains("savedSnippetItems"));
        EXPECT_FALSE(first.loadError().empty());
        ASSERT_TRUE(first.set("flag", false));
    }
    FileDefaults second(file, kSeparateKeys);
    EXPECT_FALSE(second.contains("savedSnippetItems"));
    EXPECT_NE(second.loadError().find("savedSnippetItems"), std::string::npos);
    EXPECT_NE(second.damageNotice().find("defaults.json.damaged-"), std::string::npos);
    ASSERT_TRUE(second.set("flag", true));
    EXPECT_FALSE(FileDefaults(file, kSeparateKeys).loadError().empty());
    ASSERT_TRUE(second.set("savedSnippetItems", DefaultsValue::data("[]")));
    EXPECT_TRUE(FileDefaults(file, kSeparateKeys).loadError().empty());
}

TEST_F(FileDefaultsTest, LibraryLivesInAFileOfItsOwn) {
    const std::string key = "savedSnippetItems";
    {
        FileDefaults written(file, {});  // as stores were written before
        ASSERT_TRUE(written.set(key, DefaultsValue::data("library 1")));
        ASSERT_TRUE(written.set("snippet_max_title_length", 20));
    }
    FileDefaults store(file, kSeparateKeys);
    const auto own = store.separateFile(key);
    EXPECT_EQ(store.data(key), DefaultsValue::Data({'l', 'i', 'b', 'r', 'a', 'r', 'y', ' ', '1'}));
    EXPECT_FALSE(std::filesystem::exists(own));

    ASSERT_TRUE(store.set("snippet_max_title_length", 25));  // the next write moves it
    EXPECT_EQ(contents(file).find(key), std::string::npos);
    EXPECT_EQ(FileDefaults(file, kSeparateKeys).data(key), store.data(key));
    EXPECT_TRUE(FileDefaults(file, kSeparateKeys).loadError().empty());

    struct stat before {};
    ASSERT_EQ(::stat(own.c_str(), &before), 0);
    const std::string ownBefore = contents(own);
    ASSERT_TRUE(store.set("snippet_max_title_length", 26));
    ASSERT_TRUE(store.set("snippet_auto_remove_whitespace", false));
    struct stat after {};
    ASSERT_EQ(::stat(own.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(contents(own), ownBefore);

    const std::string mainBefore = contents(file);
    ASSERT_TRUE(store.set(key, DefaultsValue::data("library 2")));
    EXPECT_EQ(contents(file), mainBefore);
    EXPECT_EQ(FileDefaults(file, kSeparateKeys).data(key), store.data(key));
    EXPECT_EQ(FileDefaults(file, kSeparateKeys).integer("snippet_max_title_length"), 26);

    // A move cut short leaves both copies: the library's own file is the newer one.
    ASSERT_TRUE(FileDefaults(file, {}).set(key, DefaultsValue::data("older")));
    EXPECT_EQ(FileDefaults(file, kSeparateKeys).data(key), store.data(key));

    ASSERT_TRUE(store.remove(key));
    EXPECT_FALSE(FileDefaults(file, kSeparateKeys).contains(key));
    EXPECT_FALSE(FileDefaults(file, {}).contains(key));
}

// A cast of an out-of-range double to an integer is undefined behaviour.
TEST_F(FileDefaultsTest, IntegerReadsOfHugeNumbersAreClamped) {
    overwrite(
        "{\"big\": 1e30, \"small\": -1e30, \"unsigned\": 18446744073709551615, \"text\": \"99999999999999999999\"}");
    FileDefaults store(file, kSeparateKeys);
    EXPECT_EQ(store.integer("big"), INT64_MAX);
    EXPECT_EQ(store.integer("small"), INT64_MIN);
    EXPECT_EQ(store.integer("unsigned"), INT64_MAX);
    EXPECT_EQ(store.integer("text"), INT64_MAX);
    EXPECT_TRUE(store.boolean("text"));
    EXPECT_TRUE(store.loadError().empty());
}

TEST_F(FileDefaultsTest, ValuesJsonCannotHoldAreRefusedAndTheFileKept) {
    FileDefaults store(file, kSeparateKeys);
    ASSERT_TRUE(store.set("kept", "value"));
    const std::string before = contents(file);
    EXPECT_FALSE(store.set("ratio", std::nan("")));
    EXPECT_FALSE(store.set("when", Date{INFINITY}));
    EXPECT_FALSE(store.set("list", DefaultsValue::Array{1, -INFINITY}));
    EXPECT_FALSE(store.set("text", "not UTF-8 \xFF"));
    EXPECT_EQ(contents(file), before);
    EXPECT_FALSE(store.contains("text"));
    EXPECT_TRUE(FileDefaults(file, kSeparateKeys).loadError().empty());
}

// Root reads every file, so as root the store is opened by a child that gave up its rights.
TEST_F(FileDefaultsTest, FileThatCannotBeReadIsNeverReplaced) {
    ASSERT_TRUE(FileDefaults(file, kSeparateKeys).set("kept", "value"));
    const std::string before = contents(file);
    std::filesystem::permissions(file, std::filesystem::perms::none);
    std::filesystem::permissions(dir, std::filesystem::perms::all);
    auto attempt = [&] {
        FileDefaults store(file, kSeparateKeys);
        return store.set("other", 1) ? 1 : 0;
    };
    int replaced = 0;
    if (geteuid() != 0) {
        replaced = attempt();
    } else {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
            _exit(attempt());
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        replaced = WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    }
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    if (replaced == 2) GTEST_SKIP() << "cannot drop root rights here";
    EXPECT_EQ(replaced, 0);
    EXPECT_EQ(contents(file), before);
}

// A writer killed at any moment leaves either the old file or the new one, never a torn one.
TEST_F(FileDefaultsTest, KilledWriterNeverLeavesATornFile) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayUs(500, 25000);
    int roundsWithFile = 0;

    for (int round = 0; round < 30; ++round) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            FileDefaults writer(file, kSeparateKeys);
            for (int64_t i = 0; i < 100000; ++i) {
                // Each payload is one repeated letter, so a mixed or cut payload shows.
                const size_t size = 1000 + static_cast<size_t>(i * 7919 % 150000);
                writer.set("savedSnippetItems",
                           DefaultsValue::data(std::string(size, static_cast<char>('a' + i % 26))));
                writer.set("counter", i);
            }
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);

        if (!std::filesystem::exists(file)) continue;
        ++roundsWithFile;
        const auto parsed = nlohmann::json::parse(contents(file), nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << "round " << round;
        ASSERT_TRUE(parsed.is_object());
        FileDefaults reader(file, kSeparateKeys);
        ASSERT_TRUE(reader.loadError().empty()) << reader.loadError();
        if (const auto data = reader.data("savedSnippetItems")) {
            ASSERT_GE(data->size(), 1000u);
            EXPECT_EQ(std::count(data->begin(), data->end(), data->front()), static_cast<long>(data->size()));
        }
        // The dead writer's lock is gone with it.
        ASSERT_TRUE(reader.set("checkedRound", round));
    }
    EXPECT_GT(roundsWithFile, 0);
}
