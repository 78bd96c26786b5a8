#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Controllers/SnippetController.h"
#include "Models/Snippets/SnippetSettings.h"
#include "support/ModelsTestSupport.h"
#include "platform/Base64.h"
#include "platform/FileDefaults.h"
#include "platform/MemoryDefaults.h"
#include "support/ChildProcess.h"

using nlohmann::json;
using platform::Date;
using platform::DefaultsValue;
using platform::FakeClock;
using platform::FileDefaults;
using platform::MemoryDefaults;
using platform::Uuid;
using sablix::SnippetController;
using sablix::SnippetItem;
using sablix::SnippetSettings;
using sablix::SnippetValidationError;
using sablix::SnippetVisibility;
using AddCase = SnippetController::AddItemResult::Case;
using namespace modelstest;

namespace {

const char* const kItemsKey = SnippetController::kSavedSnippetItemsKey;
const char* const kBackupPrefix = "savedSnippetItems-unreadable-";

SnippetItem snippet(std::string title, std::string content = "content") {
    return SnippetItem(Uuid::generate(), std::move(title), std::move(content), {"Tag"});
}

std::string storedText(const platform::Defaults& defaults) {
    const auto data = defaults.data(kItemsKey);
    return data ? std::string(data->begin(), data->end()) : std::string("(none)");
}

void storeText(platform::Defaults& defaults, const std::string& text) {
    ASSERT_TRUE(defaults.set(kItemsKey, DefaultsValue::data(text)));
}

std::vector<std::string> titles(const std::vector<SnippetItem>& items) {
    std::vector<std::string> out;
    for (const auto& i : items) out.push_back(i.snippetTitle);
    return out;
}

bool python3Available() {
    int code = -1;
    testsupport::runCommand({"python3", "-c", "import json, base64"}, &code);
    return code == 0;
}

class SnippetControllerTest : public ::testing::Test {
protected:
    MemoryDefaults settingsStore;
    SnippetSettings settings{settingsStore};
    MemoryDefaults defaults;
    SnippetController controller{defaults, settings};
    LogCapture logs;
};

}  // namespace

TEST_F(SnippetControllerTest, AbsentOrForeignValueLoadsAsEmptyLibrary) {
    EXPECT_TRUE(controller.loadItems().empty());
    defaults.set(kItemsKey, "not data");
    EXPECT_TRUE(controller.loadItems().empty());
    EXPECT_TRUE(logs.messages("SnippetController").empty());
}

TEST_F(SnippetControllerTest, DamagedRecordCostsOnlyItself) {
    const SnippetItem first = snippet("addr"), last = snippet("sig");
    json array = json::array({first.toJson(),
                              {{"id", Uuid::generate().toString()}, {"snippetTitle", "x"}},
                              {{"id", "nope"}, {"snippetTitle", "y"}, {"snippet", "z"}},
                              last.toJson()});
    storeText(defaults, array.dump());
    const std::string stored = storedText(defaults);

    EXPECT_EQ(controller.loadItems(), (std::vector<SnippetItem>{first, last}));
    const auto messages = logs.messages("SnippetController");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("Failed to decode snippets: ", 0), 0u) << messages[0];
    EXPECT_NE(messages[0].find("snippet"), std::string::npos);
    EXPECT_EQ(storedText(defaults), stored);  // loading never writes
}

TEST_F(SnippetControllerTest, UnreadableLibraryIsKeptBesideTheFileBeforeItIsReplaced) {
    TempDir dir;
    FileDefaults store(dir.path() / "defaults.json", {kItemsKey});
    SnippetController onDisk(store, settings);
    const std::vector<std::string> damaged = {
        "[{\"id\": \"7C9E6679-7425-40DE-944B-E07FC1F90AE7\", \"snippetTitle\": \"addr\"",  // cut short
        json::array({snippet("ok").toJson(), {{"snippetTitle", "no id"}, {"snippet", "x"}}}).dump(),
    };
    for (const auto& bytes : damaged) {
        storeText(store, bytes);
        const size_t backupsBefore = dir.filesStartingWith(kBackupPrefix).size();
        auto items = onDisk.loadItems();
        EXPECT_LE(items.size(), 1u);
        ASSERT_EQ(onDisk.addItemWithValidation(snippet("new"), items).kind(), AddCase::success);

        auto backups = dir.filesStartingWith(kBackupPrefix);
        ASSERT_EQ(backups.size(), backupsBefore + 1);
        bool kept = false;
        for (const auto& name : backups) kept = kept || readFile(dir.path() / name) == bytes;
        EXPECT_TRUE(kept) << "no backup holds the damaged bytes";
        EXPECT_EQ(onDisk.loadItems(), items);

        // The library is whole again: later saves keep nothing more.
        ASSERT_TRUE(onDisk.saveItems(items));
        EXPECT_EQ(dir.filesStartingWith(kBackupPrefix).size(), backupsBefore + 1);
    }

    // A value of a foreign type is kept too, in its JSON form.
    ASSERT_TRUE(store.set(kItemsKey, "a string someone else wrote"));
    ASSERT_TRUE(onDisk.saveItems({}));
    EXPECT_EQ(dir.filesStartingWith(kBackupPrefix).size(), 3u);

    // A store without a file keeps nothing extra, and the save goes ahead.
    storeText(defaults, "{broken");
    EXPECT_TRUE(controller.saveItems({snippet("addr")}));
    EXPECT_EQ(titles(controller.loadItems()), std::vector<std::string>{"addr"});
}

// Users met a single damaged byte that emptied the whole library. Here every character of the
// stored base64 in turn is replaced by a byte that is not UTF-8.
TEST_F(SnippetControllerTest, DamagedByteInTheStoredLibraryCostsAtMostItsRecord) {
    TempDir dir;
    const auto file = dir.path() / "defaults.json";
    const std::vector<SnippetItem> items = {snippet("addr", "1 Main St"), snippet("sig", "Best, \"Al\" \\ {cursor}"),
                                            snippet("tyvm", "Thanks {fill:Name}, [ok] \xC3\xA9"),
                                            snippet("last", "end")};
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
        const auto loaded = SnippetController(store, settings).loadItems();
        EXPECT_FALSE(store.loadError().empty());
        for (const auto& backup : dir.filesStartingWith("defaults.json.damaged-"))
            std::filesystem::remove(dir.path() / backup);

        // The character carries 6 bits of the byte or two bytes below.
        const size_t firstByte = at / 4 * 3 + at % 4 * 6 / 8, lastByte = at / 4 * 3 + (at % 4 * 6 + 5) / 8;
        size_t touched = 0;
        for (size_t i = 0; i < items.size(); ++i) {
            if (records[i].first <= lastByte && firstByte < records[i].second) {
                ++touched;
                continue;
            }
            EXPECT_NE(std::find(loaded.begin(), loaded.end(), items[i]), loaded.end())
                << "character " << at << " cost " << items[i].snippetTitle;
        }
        EXPECT_LE(loaded.size(), items.size()) << "character " << at;
        if (touched == 0) {
            EXPECT_EQ(loaded, items) << "character " << at;
        }
    }
}

TEST_F(SnippetControllerTest, AddValidatesTheItemByItself) {
    std::vector<SnippetItem> items = {snippet("addr")};
    storeText(defaults, "[]");
    const size_t writes = defaults.writeCount();

    const auto refused = controller.addItemWithValidation(snippet("  ", "x"), items);
    ASSERT_EQ(refused.kind(), AddCase::validationFailed);
    ASSERT_TRUE(refused.validation().has_value());
    EXPECT_FALSE(refused.validation()->isValid);
    EXPECT_EQ(refused.validation()->errors, std::vector{SnippetValidationError::emptyTitle()});
    EXPECT_EQ(items.size(), 1u);
    EXPECT_EQ(defaults.writeCount(), writes);
    EXPECT_FALSE(controller.addItem(snippet("x;", ";x; loops"), items));

    // Prefix conflicts and warnings do not stop the store; success carries nothing.
    EXPECT_EQ(controller.addItemWithValidation(snippet("address", "a {cursor} b {cursor}"), items),
              SnippetController::AddItemResult::success());
    EXPECT_EQ(titles(items), (std::vector<std::string>{"addr", "address"}));
    EXPECT_EQ(controller.loadItems(), items);
}

TEST_F(SnippetControllerTest, AddReplacesBySameIdThenByExactTitleElseAppends) {
    std::vector<SnippetItem> items = {snippet("addr"), snippet("sig"), snippet("tyvm")};
    ASSERT_TRUE(controller.saveItems(items));

    SnippetItem edited = items[1];
    edited.snippet = "Kind regards";
    ASSERT_TRUE(controller.addItem(edited, items));
    EXPECT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1], edited);

    const SnippetItem sameTitle = snippet("addr", "456 Elm Street");
    ASSERT_TRUE(controller.addItem(sameTitle, items));
    EXPECT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].id, sameTitle.id);  // the new item's id is the one stored
    EXPECT_EQ(controller.loadItems()[0], sameTitle);

    ASSERT_TRUE(controller.addItem(snippet("Addr"), items));   // titles differ in case
    ASSERT_TRUE(controller.addItem(snippet(" addr"), items));  // and as given
    EXPECT_EQ(titles(items), (std::vector<std::string>{"addr", "sig", "tyvm", "Addr", " addr"}));
    EXPECT_EQ(controller.loadItems(), items);
}

TEST_F(SnippetControllerTest, RefusedSaveRollsTheListBack) {
    std::vector<SnippetItem> items = {snippet("addr"), snippet("sig")};
    ASSERT_TRUE(controller.saveItems(items));
    const auto before = items;
    defaults.setFailWrites(true);

    SnippetItem edited = items[0];
    edited.snippet = "changed";
    EXPECT_EQ(controller.addItemWithValidation(edited, items).kind(), AddCase::saveFailed);
    EXPECT_EQ(controller.addItemWithValidation(snippet("sig", "other"), items).kind(), AddCase::saveFailed);
    EXPECT_EQ(controller.addItemWithValidation(snippet("new"), items).kind(), AddCase::saveFailed);
    EXPECT_FALSE(controller.addItem(snippet("new"), items));
    EXPECT_FALSE(controller.deleteItem(items[0], items));
    EXPECT_EQ(items, before);
    EXPECT_EQ(logs.messages("SnippetController"),
              (std::vector<std::string>{"Failed to save updated snippet", "Failed to save updated snippet",
                                        "Failed to save new snippet", "Failed to save new snippet",
                                        "Failed to save the library after deleting a snippet"}));
    defaults.setFailWrites(false);
    EXPECT_EQ(controller.loadItems(), before);
}

TEST_F(SnippetControllerTest, TextThatCannotBeEncodedIsAFailedSave) {
    std::vector<SnippetItem> items = {snippet("addr")};
    ASSERT_TRUE(controller.saveItems(items));
    const std::string stored = storedText(defaults);
    EXPECT_EQ(controller
                  .addItemWithValidation(snippet("bad\xFF"
                                                 "title"),
                                         items)
                  .kind(),
              AddCase::saveFailed);
    EXPECT_EQ(items.size(), 1u);
    EXPECT_EQ(storedText(defaults), stored);
    const auto messages = logs.messages("SnippetController");
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].rfind("Failed to encode snippets: ", 0), 0u);
}

// Root ignores permission bits, so the unwritable folder here is one whose parent is a file.
TEST_F(SnippetControllerTest, UnwritableFolderGivesSaveFailed) {
    TempDir dir;
    writeFile(dir.path() / "config", "a regular file");
    FileDefaults store(dir.path() / "config" / "sablix" / "defaults.json", {kItemsKey});
    SnippetController onDisk(store, settings);
    std::vector<SnippetItem> items = {snippet("addr"), snippet("sig")};
    const auto before = items;
    SnippetItem edited = items[1];
    edited.snippet = "changed";
    EXPECT_EQ(onDisk.addItemWithValidation(edited, items).kind(), AddCase::saveFailed);
    EXPECT_EQ(onDisk.addItemWithValidation(snippet("new"), items).kind(), AddCase::saveFailed);
    EXPECT_FALSE(onDisk.saveItems(items));
    EXPECT_EQ(items, before);
}

// A full disk, made real for root too by a file-size limit on a child process.
TEST_F(SnippetControllerTest, FullDiskLeavesListAndStoredLibraryAsTheyWere) {
    TempDir dir;
    const auto file = dir.path() / "defaults.json";
    std::vector<SnippetItem> items = {snippet("addr"), snippet("sig")};
    {
        FileDefaults store(file, {kItemsKey});
        ASSERT_TRUE(SnippetController(store, settings).saveItems(items));
    }
    const std::string fileBefore = readFile(file);
    const SnippetItem added = snippet("new", std::string(4096, 'x'));

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{512, 512};
        setrlimit(RLIMIT_FSIZE, &limit);
        FileDefaults store(file, {kItemsKey});
        SnippetController onDisk(store, settings);
        auto list = onDisk.loadItems();
        const auto before = list;
        int failures = 0;
        if (onDisk.addItemWithValidation(added, list).kind() != AddCase::saveFailed) failures |= 1;
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

TEST_F(SnippetControllerTest, DeleteRemovesEveryCopyAndStoresTheRest) {
    const SnippetItem gone = snippet("sig");
    std::vector<SnippetItem> items = {snippet("addr"), gone, snippet("tyvm"), gone};
    EXPECT_TRUE(controller.deleteItem(gone, items));
    EXPECT_EQ(titles(items), (std::vector<std::string>{"addr", "tyvm"}));
    EXPECT_EQ(controller.loadItems(), items);

    const size_t writes = defaults.writeCount();
    controller.deleteItem(snippet("unknown"), items);
    EXPECT_EQ(items.size(), 2u);
    EXPECT_EQ(defaults.writeCount(), writes + 1);
    EXPECT_EQ(controller.loadItems(), items);
}

TEST_F(SnippetControllerTest, StarterSnippetsAreValidAndStoreNothing) {
    FakeClock clock(Date{750000000.5});
    const auto starters = controller.populateInitialItems(clock);
    ASSERT_EQ(titles(starters), (std::vector<std::string>{"addr", "sig", "tyvm"}));
    EXPECT_TRUE(starters[0].id != starters[1].id && starters[1].id != starters[2].id &&
                starters[0].id != starters[2].id);
    EXPECT_EQ(starters[1].tags, std::vector<std::string>{"email"});
    for (const auto& s : starters) {
        EXPECT_EQ(s.createdAt, clock.now());
        EXPECT_TRUE(s.validate(starters, settings).isValid) << s.snippetTitle;
    }
    EXPECT_EQ(defaults.writeCount(), 0u);
}

TEST_F(SnippetControllerTest, ReadsALibraryWrittenByPython) {
    if (!python3Available()) GTEST_SKIP() << "python3 is not installed";
    TempDir dir;
    const auto file = dir.path() / "defaults.json";
    const char* script = R"PY(
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
)PY";
    int code = -1;
    testsupport::runCommand({"python3", "-c", script, file.string()}, &code);
    ASSERT_EQ(code, 0);

    FileDefaults store(file, {kItemsKey});
    const Date before = platform::SystemClock::shared().now();
    const auto items = SnippetController(store, settings).loadItems();
    const Date after = platform::SystemClock::shared().now();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_TRUE(logs.messages("SnippetController").empty());

    EXPECT_EQ(items[0].id.toString(), "6F1C2A9E-0B7D-4C3E-9A51-2D4F6B8C0E1A");
    EXPECT_EQ(items[0].snippetTitle, "caf\xC3\xA9");
    EXPECT_EQ(items[0].snippet, "Line 1\nLine 2 \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD");
    EXPECT_EQ(items[0].tags, (std::vector<std::string>{"Work", "mail"}));
    EXPECT_EQ(items[0].teamId->toString(), "9B2F1A4E-1D3C-4E5F-8A6B-7C8D9E0F1A2B");
    EXPECT_EQ(items[0].visibility, SnippetVisibility::editors);
    EXPECT_EQ(items[0].version, 7);
    EXPECT_EQ(items[0].createdAt, Date{700000000.125});
    EXPECT_EQ(items[0].deletedAt, Date{700000200.0});

    EXPECT_EQ(items[1].visibility, SnippetVisibility::personal);
    EXPECT_EQ(items[1].version, 1);
    EXPECT_TRUE(items[1].tags.empty());
    EXPECT_TRUE(items[1].createdAt >= before && items[1].createdAt <= after);
    EXPECT_FALSE(items[1].teamId || items[1].ownerId || items[1].deletedAt);

    EXPECT_EQ(items[2].createdAt, Date{0});
    EXPECT_EQ(items[2].updatedAt, Date{1});
    EXPECT_EQ(SnippetSettings(store).maxTitleLength(), 30);
}

TEST_F(SnippetControllerTest, WrittenLibraryIsReadByPython) {
    if (!python3Available()) GTEST_SKIP() << "python3 is not installed";
    TempDir dir;
    const auto file = dir.path() / "defaults.json";
    FileDefaults store(file, {kItemsKey});
    const SnippetItem personal(Uuid::generate(), "\xCE\x91\xCE\xA3-sig", "Hi \xF0\x9F\x91\x8B", {"Mail"}, FakeClock());
    const SnippetItem team(Uuid::generate(), "team", "x", {}, Uuid::generate(), Uuid::generate(),
                           SnippetVisibility::team, 3, Date{650000000.25}, Date{650000001.5}, Date{650000002.0});
    ASSERT_TRUE(SnippetController(store, settings).saveItems({personal, team}));

    const char* script = R"PY(
import base64, json, sys
with open(sys.argv[1]) as f:
    store = json.load(f)
items = json.loads(base64.b64decode(store["savedSnippetItems"]["$data"], validate=True).decode("utf-8"))
print(json.dumps([{"keys": sorted(i.keys()), "id": i["id"], "title": i["snippetTitle"], "tags": i["tags"],
                   "createdAt": i["createdAt"], "dateType": type(i["updatedAt"]).__name__,
                   "version": i.get("version"), "visibility": i.get("visibility")} for i in items]))
)PY";
    int code = -1;
    // The library has a file of its own beside defaults.json, in the same form.
    const std::string out =
        testsupport::runCommand({"python3", "-c", script, store.separateFile(kItemsKey).string()}, &code);
    ASSERT_EQ(code, 0);
    const json seen = json::parse(out);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0]["keys"], json({"createdAt", "id", "snippet", "snippetTitle", "tags", "updatedAt"}));
    EXPECT_EQ(seen[0]["id"], personal.id.toString());
    EXPECT_EQ(seen[0]["title"], personal.snippetTitle);
    EXPECT_EQ(seen[0]["tags"], json({"mail"}));
    EXPECT_EQ(seen[0]["dateType"], "float");
    EXPECT_EQ(seen[1]["keys"], json({"createdAt", "deletedAt", "id", "ownerId", "snippet", "snippetTitle", "tags",
                                     "teamId", "updatedAt", "version", "visibility"}));
    EXPECT_EQ(seen[1]["version"], 3);
    EXPECT_EQ(seen[1]["visibility"], "team");
    EXPECT_EQ(seen[1]["createdAt"].get<double>(), 650000000.25);
}
