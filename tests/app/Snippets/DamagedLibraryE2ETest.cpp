// A user's library stored by an earlier version (inside defaults.json) with one damaged byte:
// the real `sablix` binary, started twice on a private X server, must keep every other snippet
// and never take the damaged store for a fresh installation.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

#include "Snippets/SnippetController.h"
#include "support/Wait.h"
#include "support/SablixSession.h"
#include "platform/Clock.h"
#include "platform/Base64.h"
#include "platform/FileDefaults.h"
#include "support/TkTextField.h"
#include "support/XvfbServer.h"

using e2e::runOn;
using e2e::SablixSession;
using sablix::SnippetItem;
namespace fs = std::filesystem;

namespace {

// Dates the snippets these tests make.
const platform::FakeClock kClock;

constexpr const char* kTapRunning = "Event tap registered successfully";
constexpr const char* kNoTextKey = "Dead key or modifier key pressed (no Unicode output)";
constexpr const char* kLibraryKey = sablix::SnippetController::kSavedSnippetItemsKey;

using testsupport::waitUntil;

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class DamagedLibraryE2E : public ::testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<testsupport::XvfbServer>();
        ASSERT_TRUE(server->started());
        display = server->display();
        ASSERT_TRUE(field.start(display));
        ASSERT_TRUE(field.focus());
        ASSERT_EQ(field.contents(), "");

        // The session makes its private folder under TMPDIR: a folder of this test's own shows
        // which one it is.
        std::string pattern = (fs::temp_directory_path() / "sablix-damaged-XXXXXX").string();
        parent = ::mkdtemp(pattern.data());
        const char* previous = std::getenv("TMPDIR");
        const std::string saved = previous ? previous : "";
        ::setenv("TMPDIR", parent.c_str(), 1);
        session = std::make_unique<SablixSession>(display);
        if (previous)
            ::setenv("TMPDIR", saved.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
        for (const auto& entry : fs::directory_iterator(parent)) configFolder = entry.path() / "config" / "sablix";
        ASSERT_FALSE(configFolder.empty());
        fs::create_directories(configFolder);
    }

    void TearDown() override {
        if (HasFailure() && session) std::fprintf(stderr, "--- sablix log ---\n%s\n", session->log().c_str());
        session.reset();
        field.stop();
        server.reset();
        std::error_code ignored;
        fs::remove_all(parent, ignored);
    }

    void startSablix() {
        ASSERT_TRUE(session->start());
        ASSERT_TRUE(session->waitForLog(kTapRunning)) << session->log();
        ASSERT_TRUE(field.focus());
        // Keys get through a little after the tap says it is registered.
        ASSERT_TRUE(waitUntil(
            [&] {
                const size_t before = session->logCount(kNoTextKey);
                runOn(display, {"xdotool", "key", "Shift_L"});
                return session->waitForLog(kNoTextKey, 500, before + 1);
            },
            20000));
    }

    void expands(const std::string& title, const std::string& content) {
        ASSERT_TRUE(field.clear());
        int code = -1;
        runOn(display, {"xdotool", "type", "--delay", "40", ";" + title}, &code);
        ASSERT_EQ(code, 0);
        EXPECT_TRUE(waitUntil([&] { return field.contents(1000) == content; }, 20000)) << field.contents();
    }

    std::unique_ptr<testsupport::XvfbServer> server;
    std::string display;
    testsupport::TkTextField field;
    fs::path parent;
    fs::path configFolder;
    std::unique_ptr<SablixSession> session;
};

}  // namespace

TEST_F(DamagedLibraryE2E, OneDamagedByteCostsOnlyItsSnippetAcrossARestart) {
    const std::vector<SnippetItem> items = {
        SnippetItem(platform::Uuid::generate(), "alpha", "Alpha text", {}, kClock),
        SnippetItem(platform::Uuid::generate(), "bravo", "Bravo text", {}, kClock),
        SnippetItem(platform::Uuid::generate(), "charlie", "Charlie text", {}, kClock),
        SnippetItem(platform::Uuid::generate(), "delta", "Delta text", {}, kClock),
    };
    const fs::path file = configFolder / "defaults.json";
    {
        platform::FileDefaults earlierLayout(file, {});
        ASSERT_TRUE(sablix::SnippetController(earlierLayout, kClock).saveItems(items));
    }
    // One byte of the file, inside the base64 of the library, where it spoils the quote that
    // opens the content of "charlie": the library's JSON no longer parses as a whole.
    const auto library = platform::FileDefaults(file, {}).data(kLibraryKey);
    ASSERT_TRUE(library);
    const std::string text(library->begin(), library->end());
    const size_t quote = text.find("\"Charlie text\"");
    ASSERT_NE(quote, std::string::npos);
    std::string bytes = readAll(file);
    const size_t base64Start = bytes.find(platform::base64Encode(text));
    ASSERT_NE(base64Start, std::string::npos);
    bytes[base64Start + quote / 3 * 4 + std::vector<size_t>{0, 2, 3}[quote % 3]] = '\xFF';
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;

    startSablix();
    expands("alpha", "Alpha text");
    expands("delta", "Delta text");
    std::vector<fs::path> backups;
    for (const auto& entry : fs::directory_iterator(configFolder))
        if (entry.path().filename().string().rfind("defaults.json.damaged-", 0) == 0) backups.push_back(entry.path());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(readAll(backups[0]), bytes);
    EXPECT_NE(session->log().find("is kept as " + backups[0].string()), std::string::npos);
    ASSERT_EQ(session->stop(), 0);

    startSablix();  // the first run rewrote the store (the first expansion is recorded there)
    expands("bravo", "Bravo text");
    expands("alpha", "Alpha text");
    ASSERT_EQ(session->stop(), 0);

    platform::FileDefaults store(file, {kLibraryKey});
    std::vector<std::string> titles;
    for (const auto& item : sablix::SnippetController(store, kClock).loadItems()) titles.push_back(item.snippetTitle);
    EXPECT_EQ(titles, (std::vector<std::string>{"alpha", "bravo", "delta"}));  // no starter snippets
}
