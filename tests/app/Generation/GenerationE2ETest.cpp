// AI generation as a signed-in user meets it: the real `sablix` binary under a window manager,
// driven through its item probe, against the test backend's generation stream.
#include <gtest/gtest.h>

#include "Snippets/SnippetItem.h"
#include "platform/Clock.h"
#include "platform/DefaultsValue.h"
#include "platform/Uuid.h"
#include "servers/TestBackend.h"
#include "support/DeskTest.h"

namespace {

const platform::FakeClock kClock;

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

    // A sanitized program that failed to release something reports it as it exits, and the exit
    // status says so.
    EXPECT_EQ(session.stop(), 0) << "a clean exit, in time";
}
