// Terminal emulators do not paste on Control-V: the snippet must reach the program running in
// the terminal all the same, and no literal ^V may arrive there.
#include <gtest/gtest.h>

#include "Snippets/SnippetItem.h"
#include "support/SablixSession.h"
#include "support/TerminalRecorder.h"
#include "support/XvfbServer.h"
#include "platform/Clock.h"

namespace {

// Dates the snippets these tests make.
const platform::FakeClock kClock;

constexpr const char* kContent = "Hello from a snippet";

class TerminalE2E : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(TerminalE2E, TheProgramInTheTerminalReceivesTheSnippet) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    testsupport::TerminalRecorder terminal(GetParam());
    ASSERT_TRUE(terminal.start(server.display())) << GetParam() << " did not start";
    ASSERT_TRUE(terminal.focus());

    e2e::SablixSession session(server.display());
    session.storeLibrary({sablix::SnippetItem(platform::Uuid::generate(), "hello", kContent, {}, kClock)});
    ASSERT_TRUE(session.start());
    // Keys typed into Sablix's own window never reach its tap: the terminal takes the focus back.
    ASSERT_TRUE(terminal.focus());
    ASSERT_TRUE(session.waitUntilTapSeesKeys()) << session.log();

    int code = -1;
    e2e::runOn(server.display(), {"xdotool", "type", "--delay", "40", "x;hello"}, &code);
    ASSERT_EQ(code, 0);
    EXPECT_TRUE(e2e::waitUntil([&] { return terminal.line() == std::string("x") + kContent; }, 20000))
        << "received: " << terminal.received() << "\n"
        << session.log();
    EXPECT_EQ(terminal.received().find('\x16'), std::string::npos) << "a literal ^V arrived";
}

// Keys typed right after the trigger reach the program after the snippet, not before it.
TEST_P(TerminalE2E, KeysTypedRightAfterATriggerFollowTheSnippet) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    testsupport::TerminalRecorder terminal(GetParam());
    ASSERT_TRUE(terminal.start(server.display())) << GetParam() << " did not start";
    ASSERT_TRUE(terminal.focus());

    e2e::SablixSession session(server.display());
    session.storeLibrary({sablix::SnippetItem(platform::Uuid::generate(), "now", "It is now noon.", {}, kClock)});
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(terminal.focus());
    ASSERT_TRUE(session.waitUntilTapSeesKeys()) << session.log();

    std::string expected;
    for (int run = 0; run < 20; ++run) {
        int code = -1;
        e2e::runOn(server.display(), {"xdotool", "type", "--delay", "20", "a ;now bC|"}, &code);
        ASSERT_EQ(code, 0);
        expected += "a It is now noon. bC|";
        ASSERT_TRUE(e2e::waitUntil([&] { return terminal.line() == expected; }, 20000))
            << "run " << run << " received: " << terminal.line() << "\n"
            << session.log();
    }
}

INSTANTIATE_TEST_SUITE_P(Emulators, TerminalE2E, ::testing::Values("xterm", "urxvt"));
