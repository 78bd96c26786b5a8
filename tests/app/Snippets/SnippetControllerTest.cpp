#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Snippets/SnippetController.h"
#include "Snippets/SnippetSettings.h"
#include "platform/Base64.h"
#include "platform/FileDefaults.h"
#include "platform/MemoryDefaults.h"
#include "support/ChildProcess.h"
#include "support/ModelsTestSupport.h"

using nlohmann::json;
using platform::Date;
using platform::FakeClock;
using platform::FileDefaults;
using platform::MemoryDefaults;
using platform::Uuid;
using sablix::SnippetController;
using sablix::SnippetItem;
using sablix::SnippetSettings;
using sablix::SnippetVisibility;
using AddCase = SnippetController::AddItemResult::Case;
using Items = std::vector<SnippetItem>;
using Titles = std::vector<std::string>;
using namespace modelstest;

namespace {

const char* const kItemsKey = SnippetController::kSavedSnippetItemsKey;
const char* const kBackupPrefix = "savedSnippetItems-unreadable-";
// Dates the snippets these tests make.
const FakeClock kClock;

SnippetItem snippet(std::string title, std::string content = "content") {
    return SnippetItem(Uuid::generate(), std::move(title), std::move(content), {"Tag"}, kClock);
}

std::string storedText(const platform::Defaults& defaults) {
    const auto data = defaults.data(kItemsKey);
    return data ? std::string(data->begin(), data->end()) : std::string("(none)");
}

void storeText(platform::Defaults& defaults, const std::string& text) {
    ASSERT_TRUE(defaults.set(kItemsKey, platform::DefaultsValue::data(text)));
}

Titles titles(const Items& items) {
    Titles out;
    for (const auto& i : items) out.push_back(i.snippetTitle);
    return out;
}

// Runs the python3 script with the argument; its output, or a skip when python3 is missing.
std::optional<std::string> python(const char* script, const std::string& argument) {
    int code = -1;
    testsupport::runCommand({"python3", "-c", "import json, base64"}, &code);
    if (code != 0) return std::nullopt;
    std::string out = testsupport::runCommand({"python3", "-c", script, argument}, &code);
    EXPECT_EQ(code, 0) << out;
    return out;
}

class SnippetControllerTest : public ::testing::Test {
protected:
    MemoryDefaults settingsStore;
    SnippetSettings settings{settingsStore};
    MemoryDefaults defaults;
    FakeClock clock{Date{800000000.5}};
    SnippetController controller{defaults, settings, clock};
    LogCapture logs;
};

}  // namespace

// A damaged record costs only itself; the damaged bytes are kept beside the file before the
// first save replaces them, and loading alone never writes.
TEST_F(SnippetControllerTest, DamagedLibraryLosesOnlyBadRecordsAndIsKeptBeforeItIsReplaced) {
    TempDir dir;
    FileDefaults store(dir.path() / "defaults.json", {kItemsKey});
    SnippetController onDisk(store, settings, clock);
    const SnippetItem first = snippet("addr"), last = snippet("sig");
    const std::string cutShort = "[{\"id\": \"7C9E6679-7425-40DE-944B-E07FC1F90AE7\", \"snippetTitle\": \"addr\"";
    const std::string badRecords = json::array({first.toJson(),
                                                {{"id", Uuid::generate().toString()}, {"snippetTitle", "x"}},
                                                {{"id", "nope"}, {"snippetTitle", "y"}, {"snippet", "z"}},
                                                {{"snippetTitle", "no id"}, {"snippet", "x"}},
                                                last.toJson()})
                                       .dump();
    for (const auto& [bytes, kept] : {std::pair{cutShort, Items{}}, {badRecords, Items{first, last}}}) {
        storeText(store, bytes);
        const size_t backupsBefore = dir.filesStartingWith(kBackupPrefix).size();
        auto items = onDisk.loadItems();
        EXPECT_EQ(items, kept);
        EXPECT_EQ(storedText(store), bytes) << "loading wrote";
        ASSERT_EQ(onDisk.addItemWithValidation(snippet("new"), items).kind(), AddCase::success);

        const auto backups = dir.filesStartingWith(kBackupPrefix);
        ASSERT_EQ(backups.size(), backupsBefore + 1);
        EXPECT_TRUE(std::ranges::any_of(backups, [&](const auto& name) {
            return readFile(dir.path() / name) == bytes;
        })) << "no backup holds the damaged bytes";
        EXPECT_EQ(onDisk.loadItems(), items);
        // The library is whole again: later saves keep nothing more.
        ASSERT_TRUE(onDisk.saveItems(items));
        EXPECT_EQ(dir.filesStartingWith(kBackupPrefix).size(), backupsBefore + 1);
    }
    EXPECT_EQ(logs.messages("SnippetController").at(0).rfind("Failed to decode snippets: ", 0), 0u);

    // A value of a foreign type reads as no library, and is kept too, in its JSON form.
    ASSERT_TRUE(store.set(kItemsKey, "a string someone else wrote"));
    EXPECT_TRUE(onDisk.loadItems().empty());
    ASSERT_TRUE(onDisk.saveItems({}));
    EXPECT_EQ(dir.filesStartingWith(kBackupPrefix).size(), 3u);
}

// Users met a single damaged byte that emptied the whole library. Here every character of the
// stored base64 in turn is replaced by a byte that is not UTF-8.
TEST_F(SnippetControllerTest, DamagedByteInTheStoredLibraryCostsAtMostItsRecord) {
    TempDir dir;
    const auto file = dir.path() / "defaults.json";
    const Items items = {snippet("addr", "1 Main St"), snippet("sig", "Best, \"Al\" \\ {cursor}"),
                         snippet("tyvm", "Thanks {fill:Name}, [ok] \xC3\xA9"), snippet("last", "end")};
    json array = json::array();
    for (const auto& item : items) array.push_back(item.toJson());
    const std::string text = array.dump();  // as a save writes it
    std::vector<std::pair<size_t, size_t>> records;
    for (const auto& item : items) {
        const std::string record = item.toJson().dump();
        records.emplace_back(text.find(record), text.find(record) + record.size());
    }
    const std::string base64 = platform::base64Encode(text);

    for (size_t at = 0; at < base64.size(); ++at) {
        std::string damaged = base64;
        damaged[at] = '\xFF';
        writeFile(file, "{\"savedSnippetItems\": {\"$data\": \"" + damaged + "\"}}");
        FileDefaults store(file, {kItemsKey});
        const auto loaded = SnippetController(store, settings, clock).loadItems();
        for (const auto& backup : dir.filesStartingWith("defaults.json.damaged-"))
            std::filesystem::remove(dir.path() / backup);

        // The character carries 6 bits of the byte or two bytes below.
        const size_t firstByte = at / 4 * 3 + at % 4 * 6 / 8, lastByte = at / 4 * 3 + (at % 4 * 6 + 5) / 8;
        for (size_t i = 0; i < items.size(); ++i) {
            if (records[i].first <= lastByte && firstByte < records[i].second) continue;
            EXPECT_NE(std::ranges::find(loaded, items[i]), loaded.end())
                << "character " << at << " cost " << items[i].snippetTitle;
        }
        EXPECT_LE(loaded.size(), items.size()) << "character " << at;
    }
}

// A refused item stores nothing; a prefix conflict and warnings do not stop the store.
TEST_F(SnippetControllerTest, AddValidatesTheItemByItself) {
    Items items = {snippet("addr")};
    const size_t writes = defaults.writeCount();
    EXPECT_EQ(controller.addItemWithValidation(snippet("  ", "x"), items).kind(), AddCase::validationFailed);
    EXPECT_FALSE(controller.addItem(snippet("x;", ";x; loops"), items));
    EXPECT_EQ(defaults.writeCount(), writes);
    EXPECT_EQ(controller.addItemWithValidation(snippet("address", "a {cursor} b {cursor}"), items),
              SnippetController::AddItemResult::success());
    EXPECT_EQ(controller.loadItems(), items);
    EXPECT_EQ(titles(items), (Titles{"addr", "address"}));
}

TEST_F(SnippetControllerTest, AddReplacesBySameIdThenByExactTitleElseAppendsAndDeleteRemovesEveryCopy) {
    Items items = {snippet("addr"), snippet("sig"), snippet("tyvm")};
    SnippetItem edited = items[1];
    edited.snippet = "Kind regards";
    ASSERT_TRUE(controller.addItem(edited, items));
    const SnippetItem sameTitle = snippet("addr", "456 Elm Street");
    ASSERT_TRUE(controller.addItem(sameTitle, items));
    ASSERT_TRUE(controller.addItem(snippet("Addr"), items));   // titles differ in case
    ASSERT_TRUE(controller.addItem(snippet(" addr"), items));  // and as given
    EXPECT_EQ(titles(items), (Titles{"addr", "sig", "tyvm", "Addr", " addr"}));
    EXPECT_EQ(items[0], sameTitle);  // the new item's id is the one stored
    EXPECT_EQ(items[1], edited);
    EXPECT_EQ(controller.loadItems(), items);

    // A delete removes every copy.
    items.push_back(items[1]);
    EXPECT_TRUE(controller.deleteItem(edited, items));
    EXPECT_EQ(titles(items), (Titles{"addr", "tyvm", "Addr", " addr"}));
    EXPECT_EQ(controller.loadItems(), items);
}

// Every way a save fails leaves the caller's list and the stored library as they were.
TEST_F(SnippetControllerTest, RefusedSaveRollsTheListBack) {
    Items items = {snippet("addr"), snippet("sig")};
    ASSERT_TRUE(controller.saveItems(items));
    const auto before = items;
    const std::string stored = storedText(defaults);

    EXPECT_EQ(controller.addItemWithValidation(snippet("bad\xFF", "x"), items).kind(), AddCase::saveFailed);
    EXPECT_EQ(logs.messages("SnippetController").at(0).rfind("Failed to encode snippets: ", 0), 0u);

    defaults.setFailWrites(true);
    SnippetItem edited = items[0];
    edited.snippet = "changed";
    for (const auto& item : {edited, snippet("sig", "other"), snippet("new")})
        EXPECT_EQ(controller.addItemWithValidation(item, items).kind(), AddCase::saveFailed) << item.snippetTitle;
    EXPECT_FALSE(controller.deleteItem(items[0], items));
    EXPECT_EQ(items, before);
    EXPECT_EQ(storedText(defaults), stored);
    EXPECT_EQ(logs.messages("SnippetController").back(), "Failed to save the library after deleting a snippet");

    // Root ignores permission bits, so the unwritable folder here is one whose parent is a file.
    TempDir dir;
    writeFile(dir.path() / "config", "a regular file");
    FileDefaults store(dir.path() / "config" / "sablix" / "defaults.json", {kItemsKey});
    SnippetController onDisk(store, settings, clock);
    EXPECT_EQ(onDisk.addItemWithValidation(edited, items).kind(), AddCase::saveFailed);
    EXPECT_EQ(onDisk.addItemWithValidation(snippet("new"), items).kind(), AddCase::saveFailed);
    EXPECT_EQ(items, before);
}

// A full disk, made real for root too by a file-size limit on a child process.
TEST_F(SnippetControllerTest, FullDiskLeavesListAndStoredLibraryAsTheyWere) {
    TempDir dir;
    const auto file = dir.path() / "defaults.json";
    {
        FileDefaults store(file, {kItemsKey});
        ASSERT_TRUE(SnippetController(store, settings, clock).saveItems({snippet("addr"), snippet("sig")}));
    }
    const std::string fileBefore = readFile(file);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{512, 512};
        setrlimit(RLIMIT_FSIZE, &limit);
        FileDefaults store(file, {kItemsKey});
        SnippetController onDisk(store, settings, clock);
        auto list = onDisk.loadItems();
        const auto before = list;
        int failures = 0;
        if (onDisk.addItemWithValidation(snippet("new", std::string(4096, 'x')), list).kind() != AddCase::saveFailed)
            failures |= 1;
        if (!(list == before)) failures |= 2;
        if (!(onDisk.loadItems() == before)) failures |= 4;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not saveFailed, 2: list changed, 4: stored library changed";
    EXPECT_EQ(readFile(file), fileBefore);
    EXPECT_TRUE(dir.filesStartingWith("defaults.json.tmp").empty());
}

TEST_F(SnippetControllerTest, StarterSnippetsAreValidDistinctAndStoreNothing) {
    const auto starters = controller.populateInitialItems();
    ASSERT_EQ(titles(starters), (Titles{"addr", "sig", "tyvm"}));
    EXPECT_TRUE(starters[0].id != starters[1].id && starters[1].id != starters[2].id &&
                starters[0].id != starters[2].id);
    for (const auto& s : starters) EXPECT_TRUE(s.validate(starters, settings).isValid) << s.snippetTitle;
    EXPECT_EQ(defaults.writeCount(), 0u);
}

// Code that is not ours reads what we write and writes what we read: python3's json module,
// dates as float seconds since 2001, UUIDs in either case, optional keys left out.
TEST_F(SnippetControllerTest, LibraryRoundTripsThroughPython) {
    TempDir dir;
    FileDefaults store(dir.path() / "defaults.json", {kItemsKey});
    const auto id = [](const char* text) { return *Uuid::fromString(text); };
    const SnippetItem personal(id("1A1A1A1A-1111-4111-8111-11111111111A"), "\xCE\x91\xCE\xA3-sig",
                               "Hi \xF0\x9F\x91\x8B", {"Mail"}, FakeClock(Date{650000000.75}));
    const SnippetItem team(id("2B2B2B2B-2222-4222-8222-22222222222B"), "team", "x", {},
                           id("3C3C3C3C-3333-4333-8333-33333333333C"), id("4D4D4D4D-4444-4444-8444-44444444444D"),
                           SnippetVisibility::team, 3, Date{650000000.25}, Date{650000001.5}, Date{650000002.5});
    ASSERT_TRUE(SnippetController(store, settings, clock).saveItems({personal, team}));
    // The library has a file of its own beside defaults.json, in the same form.
    const auto out = python(R"PY(
import base64, json, sys
with open(sys.argv[1]) as f:
    data = json.load(f)["savedSnippetItems"]["$data"]
print(json.dumps(json.loads(base64.b64decode(data, validate=True).decode("utf-8"))))
)PY",
                            store.separateFile(kItemsKey).string());
    if (!out) GTEST_SKIP() << "python3 is not installed";
    EXPECT_EQ(json::parse(*out), json::parse(R"([
        {"id": "1A1A1A1A-1111-4111-8111-11111111111A", "snippetTitle": "ΑΣ-sig", "snippet": "Hi 👋", "tags": ["mail"],
         "createdAt": 650000000.75, "updatedAt": 650000000.75},
        {"id": "2B2B2B2B-2222-4222-8222-22222222222B", "snippetTitle": "team", "snippet": "x", "tags": [],
         "teamId": "3C3C3C3C-3333-4333-8333-33333333333C", "ownerId": "4D4D4D4D-4444-4444-8444-44444444444D",
         "visibility": "team", "version": 3, "createdAt": 650000000.25, "updatedAt": 650000001.5,
         "deletedAt": 650000002.5}])"));

    const auto file = dir.path() / "written-by-python.json";
    ASSERT_TRUE(python(R"PY(
import base64, json, sys
items = [
    {"id": "6f1c2a9e-0b7d-4c3e-9a51-2d4f6b8c0e1a", "snippetTitle": "caf\u00e9",
     "snippet": "Line 1\nLine 2 \U0001F44D\U0001F3FD", "tags": ["Work", "mail"],
     "teamId": "9b2f1a4e-1d3c-4e5f-8a6b-7c8d9e0f1a2b", "ownerId": "A1B2C3D4-E5F6-4789-8ABC-DEF012345678",
     "visibility": "editors", "version": 7, "createdAt": 700000000.125, "updatedAt": 700000100.5,
     "deletedAt": 700000200.0},
    {"id": "A1B2C3D4-E5F6-4789-8ABC-DEF012345678", "snippetTitle": "sig", "snippet": "Best regards"},
    {"id": "00000000-0000-4000-8000-000000000001", "snippetTitle": "tyvm", "snippet": "Thanks",
     "tags": [], "visibility": None, "version": 1, "createdAt": 0, "updatedAt": 1},
]
data = base64.b64encode(json.dumps(items).encode("utf-8")).decode("ascii")
with open(sys.argv[1], "w") as f:
    json.dump({"savedSnippetItems": {"$data": data}, "snippet_max_title_length": 30}, f)
)PY",
                       file.string()));
    FileDefaults written(file, {kItemsKey});
    const auto items = SnippetController(written, settings, clock).loadItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_TRUE(logs.messages("SnippetController").empty());
    SnippetItem full(id("6F1C2A9E-0B7D-4C3E-9A51-2D4F6B8C0E1A"), "caf\xC3\xA9",
                     "Line 1\nLine 2 \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", {}, id("9B2F1A4E-1D3C-4E5F-8A6B-7C8D9E0F1A2B"),
                     id("A1B2C3D4-E5F6-4789-8ABC-DEF012345678"), SnippetVisibility::editors, 7, Date{700000000.125},
                     Date{700000100.5}, Date{700000200.0});
    full.tags = {"Work", "mail"};  // as stored
    EXPECT_EQ(items[0], full);
    EXPECT_EQ(items[1], SnippetItem(id("A1B2C3D4-E5F6-4789-8ABC-DEF012345678"), "sig", "Best regards", {}, {}, {},
                                    SnippetVisibility::personal, 1, items[1].createdAt, items[1].updatedAt, {}));
    EXPECT_EQ(items[1].createdAt, clock.now());  // stored without dates: the controller's clock dates it
    EXPECT_EQ(items[1].updatedAt, clock.now());
    EXPECT_EQ(items[2].createdAt, Date{0});
    EXPECT_EQ(SnippetSettings(written).maxTitleLength(), 30);
}

// The library is written without building its records as JSON values; its bytes are still
// exactly those of the records' JSON, optional members present or not, in every number's form.
TEST_F(SnippetControllerTest, SavedLibraryIsTheRecordsJsonByteForByte) {
    const auto id = [](const char* text) { return *Uuid::fromString(text); };
    const Items items = {
        SnippetItem(id("2B2B2B2B-2222-4222-8222-22222222222B"), "t\"\\\n\x01 \xCE\x91", "\xF0\x9F\x91\x8B\t</>",
                    {"Mail", "", "\xC3\xA9"}, id("3C3C3C3C-3333-4333-8333-33333333333C"),
                    id("4D4D4D4D-4444-4444-8444-44444444444D"), SnippetVisibility::editors, -7, Date{-0.5}, Date{1e20},
                    Date{0.1}),
        SnippetItem(id("5A1B7C3D-0E2F-4A5B-8C9D-0E1F2A3B4C5D"), "sig", "", {}, {}, {}, SnippetVisibility::team,
                    INT64_MAX, Date{0}, Date{786384000.123456}, {}),
        snippet("plain"),
    };
    ASSERT_TRUE(controller.saveItems(items));
    json expected = json::array();
    for (const auto& item : items) expected.push_back(item.toJson());
    EXPECT_EQ(storedText(defaults), expected.dump());

    // Text that is not UTF-8 is refused, as the JSON writer refuses it, and nothing is stored.
    EXPECT_FALSE(controller.saveItems({snippet("bad", "\xC3(")}));
    EXPECT_EQ(storedText(defaults), expected.dump());
}

// However a stored record is written (escapes, characters beyond ASCII, numbers in every JSON
// form, nulls, spacing, keys unknown or repeated), the library reads as each record read alone.
TEST_F(SnippetControllerTest, EveryFormOfARecordReadsAsTheRecordAlone) {
    const std::string id = R"("id":"0C7E1A8B-3D7E-4A57-9B7A-2F1A4C2B9E11")";
    const std::vector<std::string> records = {
        "{" + id +
            R"(,"snippetTitle":"sig","snippet":"Best,\nA","tags":["Mail"],"createdAt":786384000.123456,)"
            R"("updatedAt":786384001,"version":2,"visibility":"editors",)"
            R"("teamId":"1d7e1a8b-3d7e-4a57-9b7a-2f1a4c2b9e11","deletedAt":1e3})",
        "{" + id +
            R"(,"snippetTitle":"caf\u00e9 \u0041","snippet":"\"q\" \\ \/ \b\f\r\t \u0001 )"
            "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"}",
        "{" + id + R"(,"snippetTitle":"z","snippet":"","createdAt":-0,"updatedAt":-0.0,"version":-3})",
        "{" + id +
            R"(,"snippetTitle":"z","snippet":"","createdAt":18446744073709551615,"updatedAt":1E-2,)"
            R"("version":9223372036854775807})",
        "{" + id +
            R"(,"snippetTitle":"z","snippet":"","tags":null,"teamId":null,"ownerId":null,)"
            R"("visibility":null,"version":null,"createdAt":null,"updatedAt":null,"deletedAt":null})",
        "{" + id + R"(,"snippetTitle":"pair","snippet":"\ud83d\ude00"})",
        " { " + id + R"( , "snippetTitle" : "z" ,
            "snippet" : "y" , "tags" : [ ] } )",
        "{" + id + R"(,"snippetTitle":"z","snippet":"y","comment":{"a":[1,true]}})",
        "{" + id + R"(,"snippetTitle":"first","snippet":"y","snippetTitle":"last"})",
    };
    for (const auto& record : records) {
        const std::string library = "[" + record + "," + record + "]";
        storeText(defaults, library);
        Items expected;
        for (const auto& element : json::parse(library))
            expected.push_back(SnippetItem::fromJson(element, sablix::DateCoding::secondsSince2001, clock));
        const Items items = controller.loadItems();
        ASSERT_EQ(items.size(), expected.size()) << record;
        for (size_t i = 0; i < items.size(); ++i)
            EXPECT_EQ(items[i].toJson().dump(), expected[i].toJson().dump()) << record;
    }
    EXPECT_TRUE(logs.messages("SnippetController").empty());
}

// Readers and writers of one store sharing a library cache: a read after a save takes what the
// save stored, a second read of the same bytes takes the first read's decode (a record stored
// without dates is dated once), and bytes changed behind the cache (another process, a damaged
// value) are decoded afresh, never answered from the cache.
TEST(SnippetLibraryCache, SharedDecodeNeverOutlivesTheBytesItCameFrom) {
    const std::string undated = R"([{"id":"5A1B7C3D-0E2F-4A5B-8C9D-0E1F2A3B4C5D","snippetTitle":"old","snippet":"x"}])";
    const std::string damaged = R"([{"id":"5A1B7C3D-0E2F-4A5B-8C9D-0E1F2A3B4C5D","snippetTitle":"ok","snippet":"x"},)"
                                R"({"snippetTitle":"no id","snippet":"y"}])";
    struct Case {
        const char* name;
        std::function<void(MemoryDefaults&, SnippetController& writer, FakeClock&)> change;
        Titles expected;
        bool sameDatesAsFirstRead;
    };
    const std::vector<Case> cases = {
        {"a save by another controller",
         [](MemoryDefaults&, SnippetController& writer, FakeClock&) {
             ASSERT_TRUE(writer.saveItems({snippet("saved")}));
         },
         {"saved"},
         false},
        {"nothing changed", [](MemoryDefaults&, SnippetController&, FakeClock&) {}, {"old"}, true},
        {"the bytes replaced behind the cache",
         [&](MemoryDefaults& store, SnippetController&, FakeClock&) { storeText(store, damaged); },
         {"ok"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryDefaults store;
        FakeClock clock;
        sablix::SnippetLibraryCache cache;
        SnippetController writer(store, clock, &cache);
        SnippetController reader(store, clock, &cache);
        storeText(store, undated);
        const Items first = writer.loadItems();
        ASSERT_EQ(titles(first), Titles{"old"});
        clock.advance(60);
        c.change(store, writer, clock);
        const Items second = reader.loadItems();
        EXPECT_EQ(titles(second), c.expected);
        if (c.sameDatesAsFirstRead) {
            EXPECT_EQ(second, first);
        }
        // A damaged value is never remembered: every reader leaves its broken record out again.
        EXPECT_EQ(titles(SnippetController(store, clock, &cache).loadItems()), c.expected);
    }
}
