// AI generation as a signed-in user meets it: the real `sablix` binary under a window manager,
// driven through its item probe, against the test backend's generation stream.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "Snippets/SnippetItem.h"
#include "platform/Clock.h"
#include "platform/DefaultsValue.h"
#include "platform/Uuid.h"
#include "servers/TestBackend.h"
#include "support/DeskTest.h"

namespace fs = std::filesystem;

namespace {

const platform::FakeClock kClock;

#if defined(__SANITIZE_ADDRESS__)
// The reports AddressSanitizer wrote for that process into the files its options name
// ("log_path=<prefix>", each report then "<prefix>[.<program>].<pid>"); none when it writes to
// standard error, where a report still fails the exit status.
std::vector<fs::path> sanitizerReportsOf(pid_t pid) {
    std::vector<fs::path> found;
    const char* options = std::getenv("ASAN_OPTIONS");
    if (!options) return found;
    const std::string all = std::string(":") + options;
    const size_t at = all.rfind(":log_path=");  // the last one counts
    if (at == std::string::npos) return found;
    const size_t from = at + std::string(":log_path=").size();
    const fs::path prefix = all.substr(from, all.find(':', from) - from);
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(prefix.parent_path(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix.filename().string()) && name.ends_with("." + std::to_string(pid)))
            found.push_back(entry.path());
    }
    return found;
}
#endif

using GenerationE2E = e2e::DeskTest;

}  // namespace

// Quit while the answer still streams in: the generation ends with its stream, and the program
// exits at once, cleanly, with nothing left behind.
TEST_F(GenerationE2E, QuittingWhileAGenerationStreamsEndsItAndExitsCleanly) {
    auto fixture = testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json");
    fixture["generate"] = {{"fragments", {"Hel", "lo"}}, {"done", false}, {"hold", true}};
    testservers::TestBackend backend(fixture);
    ASSERT_TRUE(backend.start());
    session.storeSetting("API_BASE_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL()));
    session.storeSignIn(fixture["auth"]["accounts"]["access-rowan-1"], "access-rowan-1", "refresh-rowan-1");
    session.storeLibrary({sablix::SnippetItem(platform::Uuid::generate(), "greeting", "Hi", {}, kClock)});
    ASSERT_TRUE(session.start());

    click("snippetRow:greeting");
    click("editButton");
    click("generateButton");
    // The fragments are in the editor and the generation still runs: its stream is open.
    ASSERT_TRUE(probed.shows("contentEditor", "Hello"));
    ASSERT_TRUE(probed.shows("stopButton"));

    [[maybe_unused]] const pid_t pid = session.pid();
    EXPECT_EQ(session.stop(), 0) << "a clean exit, in time";
#if defined(__SANITIZE_ADDRESS__)
    // What the sanitized program failed to release it reports only as it exits.
    EXPECT_EQ(sanitizerReportsOf(pid), std::vector<fs::path>{});
#endif
}
