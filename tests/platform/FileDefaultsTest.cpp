#include <cmath>
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/Base64.h"
#include "platform/FileDefaults.h"
#include "support/ModelsTestSupport.h"

using modelstest::readFile;
using platform::Date;
using platform::DefaultsValue;
using platform::FileDefaults;

namespace {

const std::string kLibrary = "savedSnippetItems";

class FileDefaultsTest : public ::testing::Test {
protected:
    // As the application makes its store: the library in a file of its own.
    FileDefaults opened() const { return FileDefaults(file, {kLibrary}); }
    void overwrite(const std::string& bytes) const { modelstest::writeFile(file, bytes); }
    std::vector<std::string> backups() const { return dir.filesStartingWith("defaults.json.damaged-"); }

    modelstest::TempDir dir;
    std::filesystem::path file = dir.path() / "defaults.json";
};

}  // namespace

TEST_F(FileDefaultsTest, TypedValuesSurviveAndOtherInstancesSeeChanges) {
    const std::map<std::string, DefaultsValue> values = {
        {"text", "h\xC3\xA9llo"},
        {"count", int64_t{9007199254740993}},  // beyond a double's exact range
        {"ratio", 0.1},
        {"flag", false},
        {"bytes", DefaultsValue::data(std::string("\0\xFF{\"$data\"", 10))},
        {"when", Date{123.456}},
        {"combo", DefaultsValue::Object{{"keyCode", 49}, {"carbonModifiers", 768}}},
        {"list", DefaultsValue::Array{"a", 1.5, true}},
    };
    FileDefaults first = opened();
    for (const auto& [key, value] : values) ASSERT_TRUE(first.set(key, value)) << key;
    FileDefaults second = opened();
    for (const auto& [key, value] : values) EXPECT_EQ(second.object(key), value) << key;
    EXPECT_TRUE(second.loadError().empty());

    ASSERT_TRUE(second.set("text", "changed"));
    ASSERT_TRUE(second.remove("flag"));
    EXPECT_EQ(first.string("text"), "changed");
    EXPECT_FALSE(first.contains("flag"));
    EXPECT_EQ(first.integer("count"), 9007199254740993);  // a write keeps the other keys
}

// Each damage users met made the whole file read as empty. The damaged file is copied aside the
// moment it is read, before any write can replace it, and stays reported through the session.
TEST_F(FileDefaultsTest, OneDamagedValueCostsOnlyItselfAndTheFileIsKeptAside) {
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
        {"an escaped byte that is not UTF-8", "\"caf\\\xFF\"", DefaultsValue("caf??")},
        {"data that is not base64", "{\"$data\": \"not base64!\"}", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& backup : backups()) std::filesystem::remove(dir.path() / backup);
        const std::string bytes = "{" + others + ", \"damaged\": " + c.stored + "}";
        overwrite(bytes);
        FileDefaults store = opened();
        EXPECT_EQ(store.object("damaged"), c.read);
        ASSERT_EQ(backups().size(), 1u);
        const std::string backup = dir.path() / backups()[0];
        EXPECT_EQ(readFile(backup), bytes);
        EXPECT_NE(store.loadError().find(backup), std::string::npos);
        EXPECT_NE(store.damageNotice().find(backup), std::string::npos);
        EXPECT_FALSE(opened().loadError().empty());
        EXPECT_EQ(backups().size(), 1u) << "the same damage keeps its first copy";

        ASSERT_TRUE(store.set("written", 1));
        EXPECT_FALSE(store.loadError().empty()) << "still told, through the rest of start-up";
        FileDefaults next = opened();
        EXPECT_TRUE(next.loadError().empty());
        EXPECT_EQ(next.string("before"), "x");
        EXPECT_EQ(next.object(kLibrary), DefaultsValue::data(library));
        EXPECT_EQ(next.object("after"), DefaultsValue(DefaultsValue::Array{1, 2.5, true}));
        EXPECT_EQ(next.object("damaged"), c.read);
        std::filesystem::remove(store.separateFile(kLibrary));
    }

    // Damage a running store meets, even within the same second, is copied each time.
    FileDefaults store = opened();
    for (const char* whole : {"not json at all", "[1, 2]"}) {
        overwrite(whole);
        ASSERT_TRUE(store.set("other", 2));
    }
    EXPECT_EQ(backups().size(), 3u);
    EXPECT_EQ(opened().integer("other"), 2);
}

// Were it rewritten without the lost library, the next start would take the store for a fresh
// installation and store starter snippets over it.
TEST_F(FileDefaultsTest, LostLibraryIsStillReportedAtTheNextStart) {
    overwrite("{\"flag\": true, \"savedSnippetItems\": {\"$data\": [1e400]}}");
    ASSERT_TRUE(opened().set("flag", false));
    FileDefaults second = opened();
    EXPECT_FALSE(second.contains(kLibrary));
    EXPECT_NE(second.loadError().find(kLibrary), std::string::npos);
    EXPECT_NE(second.damageNotice().find("defaults.json.damaged-"), std::string::npos);
    ASSERT_TRUE(second.set("flag", true));
    EXPECT_FALSE(opened().loadError().empty());
    ASSERT_TRUE(second.set(kLibrary, DefaultsValue::data("[]")));
    EXPECT_TRUE(opened().loadError().empty());
}

// Changing a setting must not rewrite the library; stores written before it had a file of its
// own move it there with their next write.
TEST_F(FileDefaultsTest, LibraryLivesInAFileOfItsOwn) {
    ASSERT_TRUE(FileDefaults(file, {}).set(kLibrary, DefaultsValue::data("library 1")));
    FileDefaults store = opened();
    const auto own = store.separateFile(kLibrary);
    EXPECT_EQ(store.object(kLibrary), DefaultsValue::data("library 1"));
    EXPECT_FALSE(std::filesystem::exists(own));

    ASSERT_TRUE(store.set("snippet_max_title_length", 25));
    EXPECT_EQ(readFile(file).find(kLibrary), std::string::npos);
    EXPECT_EQ(opened().object(kLibrary), DefaultsValue::data("library 1"));
    EXPECT_TRUE(opened().loadError().empty());

    const auto stamp = [&] {
        struct stat st {};
        EXPECT_EQ(::stat(own.c_str(), &st), 0);
        return std::pair(st.st_ino, st.st_mtim.tv_nsec);
    };
    const auto before = stamp();
    ASSERT_TRUE(store.set("snippet_max_title_length", 26));
    ASSERT_TRUE(store.set("snippet_auto_remove_whitespace", false));
    EXPECT_EQ(stamp(), before) << "a setting rewrote the library";

    const std::string mainBefore = readFile(file);
    ASSERT_TRUE(store.set(kLibrary, DefaultsValue::data("library 2")));
    EXPECT_EQ(readFile(file), mainBefore);
    EXPECT_EQ(opened().object(kLibrary), DefaultsValue::data("library 2"));
    EXPECT_EQ(opened().integer("snippet_max_title_length"), 26);

    // A move cut short leaves both copies: the library's own file is the newer one.
    ASSERT_TRUE(FileDefaults(file, {}).set(kLibrary, DefaultsValue::data("older")));
    EXPECT_EQ(opened().object(kLibrary), DefaultsValue::data("library 2"));

    ASSERT_TRUE(store.remove(kLibrary));
    EXPECT_FALSE(opened().contains(kLibrary));
    EXPECT_FALSE(FileDefaults(file, {}).contains(kLibrary));
}

// Large data is written by a faster path than the rest; the file must hold exactly what the
// ordinary JSON writer makes of the same values, wherever the data sits among other keys.
TEST_F(FileDefaultsTest, LargeDataIsWrittenAsTheOrdinaryWriterWouldAndReadsBack) {
    std::mt19937 random(7);
    std::string bytes(300 * 1024 + 1, '\0');  // a length that needs padding
    for (auto& byte : bytes) byte = static_cast<char>(random());
    const auto large = DefaultsValue::data(bytes);
    const auto other = DefaultsValue::data(bytes.substr(0, 70 * 1024));

    FileDefaults plain(file, {});
    ASSERT_TRUE(plain.set("a", "first"));
    ASSERT_TRUE(plain.set("big", large));
    ASSERT_TRUE(plain.set("list", DefaultsValue::Array{other, "sablix-data-", 1}));  // nested: the ordinary path
    ASSERT_TRUE(plain.set("more", other));
    ASSERT_TRUE(plain.set("z", "last"));
    FileDefaults store = opened();
    ASSERT_TRUE(store.set(kLibrary, large));

    for (const auto& path : {file, store.separateFile(kLibrary)}) {
        const std::string written = readFile(path);
        EXPECT_EQ(written, nlohmann::json::parse(written).dump(1, '\t')) << path;
    }
    FileDefaults reopened = opened();
    EXPECT_EQ(reopened.object("big"), large);
    EXPECT_EQ(reopened.object("more"), other);
    EXPECT_EQ(reopened.object("list"), (DefaultsValue::Array{other, "sablix-data-", 1}));
    EXPECT_EQ(reopened.object(kLibrary), large);
    EXPECT_TRUE(reopened.loadError().empty());
}

// Large data is read without the JSON parser going through its text, but only where the writer
// puts it; anywhere else, or in a damaged file, the file reads as the parser alone reads it.
TEST_F(FileDefaultsTest, LargeDataReadsAsTheParserReadsItWhereverItSits) {
    std::string text, bytes;
    while (text.size() < 80 * 1024) text += "QUJD", bytes += "ABC";
    const std::string large = "{\"$data\": \"" + text + "\"}";
    struct Case {
        const char* what;
        std::string stored;
        std::optional<DefaultsValue> read;
        bool damaged;
    };
    const std::vector<Case> cases = {
        {"as the writer puts it", "\"v\": " + large, DefaultsValue::data(bytes), false},
        {"in an array", "\"v\": [" + large + ", 1]", DefaultsValue::Array{DefaultsValue::data(bytes), 1}, false},
        {"beside a second member", "\"v\": {\"$data\": \"" + text + "\", \"more\": 1}",
         DefaultsValue::Object{{"$data", text}, {"more", 1}}, false},
        {"replaced by a later member of the same name", "\"v\": " + large + ", \"v\": \"later\"",
         DefaultsValue("later"), false},
        {"two of them, one nested", "\"v\": " + large + ", \"w\": {\"x\": " + large + "}", DefaultsValue::data(bytes),
         false},
        {"not base64 to its end", "\"v\": {\"$data\": \"" + text + "!\"}", std::nullopt, true},
        {"in a file cut short", "\"v\": " + large + ", \"w\": {\"$data\": \"" + text, DefaultsValue::data(bytes), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = "{\n\t\"a\": \"first\",\n\t" + c.stored + (c.damaged && c.read ? "" : "\n}");
        overwrite(file);
        FileDefaults store(this->file, {});
        EXPECT_EQ(store.object("v"), c.read);
        EXPECT_EQ(store.string("a"), "first");
        EXPECT_EQ(store.loadError().empty(), !c.damaged);
    }
}

// Casting an out-of-range double to an integer is undefined behaviour; JSON has no NaN or
// infinity, and a string that is not UTF-8 would make the file unreadable.
TEST_F(FileDefaultsTest, NumbersBeyondRangeAreClampedAndValuesJsonCannotHoldRefused) {
    overwrite(
        "{\"big\": 1e30, \"small\": -1e30, \"unsigned\": 18446744073709551615, \"text\": \"99999999999999999999\"}");
    FileDefaults store = opened();
    EXPECT_EQ(store.integer("big"), INT64_MAX);
    EXPECT_EQ(store.integer("small"), INT64_MIN);
    EXPECT_EQ(store.integer("unsigned"), INT64_MAX);
    EXPECT_EQ(store.integer("text"), INT64_MAX);
    EXPECT_TRUE(store.loadError().empty());

    const std::string before = readFile(file);
    EXPECT_FALSE(store.set("ratio", std::nan("")));
    EXPECT_FALSE(store.set("when", Date{INFINITY}));
    EXPECT_FALSE(store.set("list", DefaultsValue::Array{1, -INFINITY}));
    EXPECT_FALSE(store.set("text", "not UTF-8 \xFF"));
    EXPECT_EQ(readFile(file), before);
    EXPECT_EQ(store.string("text"), "99999999999999999999");
}

// Each level of nesting costs a reader, writer or destructor a stack frame: past the limit a
// value is lost or refused like any damaged one, never the stack.
TEST_F(FileDefaultsTest, ValuesNestedTooDeeplyCostOnlyThemselves) {
    const auto nested = [](size_t levels) {
        DefaultsValue value = 1;
        for (size_t i = 0; i < levels; ++i) value = DefaultsValue::Array{std::move(value)};
        return value;
    };
    const std::string tooDeep(20000, '[');
    for (const std::string& stored : {tooDeep + std::string(20000, ']'), tooDeep}) {
        overwrite("{\"before\": 1, \"deep\": " + stored + ", \"after\": 2}");
        FileDefaults store = opened();
        EXPECT_FALSE(store.contains("deep"));
        EXPECT_EQ(store.integer("before"), 1);
        EXPECT_NE(store.loadError().find("\"deep\""), std::string::npos);
    }

    FileDefaults store = opened();
    EXPECT_FALSE(store.set("deep", nested(DefaultsValue::kMaxNesting + 1)));
    ASSERT_TRUE(store.set("deepest", nested(DefaultsValue::kMaxNesting)));
    EXPECT_EQ(opened().object("deepest"), nested(DefaultsValue::kMaxNesting));
    EXPECT_TRUE(opened().loadError().empty());
    // A damaged neighbour sends the file through salvage, which reads the deepest value too.
    overwrite(readFile(file) + "junk");
    EXPECT_EQ(opened().object("deepest"), nested(DefaultsValue::kMaxNesting));
}

// Root reads every file, so as root the store is opened by a child that gave up its rights.
TEST_F(FileDefaultsTest, FileThatCannotBeReadIsNeverReplaced) {
    ASSERT_TRUE(opened().set("kept", "value"));
    const std::string before = readFile(file);
    std::filesystem::permissions(file, std::filesystem::perms::none);
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    const auto attempt = [&] { return opened().set("other", 1) ? 1 : 0; };
    int replaced = 0;
    if (geteuid() != 0) {
        replaced = attempt();
    } else {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(setgid(65534) != 0 || setuid(65534) != 0 ? 2 : attempt());
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        replaced = WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    }
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    if (replaced == 2) GTEST_SKIP() << "cannot drop root rights here";
    EXPECT_EQ(replaced, 0);
    EXPECT_EQ(readFile(file), before);
}

// A writer killed at any moment leaves either the old library or the new one, never a torn or
// an empty one.
TEST_F(FileDefaultsTest, KilledWriterNeverLeavesATornFile) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayUs(500, 25000);
    ASSERT_TRUE(opened().set(kLibrary, DefaultsValue::data(std::string(1000, 'z'))));
    for (int round = 0; round < 30; ++round) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            FileDefaults writer = opened();
            for (int64_t i = 0; i < 100000; ++i) {
                // Each payload is one repeated letter, so a mixed or cut payload shows.
                const size_t size = 1000 + static_cast<size_t>(i * 7919 % 150000);
                writer.set(kLibrary, DefaultsValue::data(std::string(size, static_cast<char>('a' + i % 26))));
                writer.set("counter", i);
            }
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);

        FileDefaults reader = opened();
        ASSERT_TRUE(reader.loadError().empty()) << "round " << round << ": " << reader.loadError();
        const auto data = reader.data(kLibrary);
        ASSERT_TRUE(data && data->size() >= 1000u) << "round " << round;
        EXPECT_EQ(std::count(data->begin(), data->end(), data->front()), static_cast<long>(data->size()));
        ASSERT_TRUE(reader.set("checkedRound", round)) << "the dead writer's lock is gone with it";
    }
}
