// The application as a user meets it: the real `sablix` binary on a private X server, a real X
// client (a Tk text widget) with the focus, and keys typed by xdotool.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <thread>

#include "Snippets/SnippetController.h"
#include "support/GtkEntryField.h"
#include "support/SablixSession.h"
#include "platform/Clock.h"
#include "platform/MemoryDefaults.h"
#include "support/TkTextField.h"
#include "support/XvfbServer.h"

using e2e::runOn;
using e2e::SablixSession;
using e2e::waitUntil;
using sablix::SnippetItem;

namespace {

bool fillInDialogIsOpen(const std::string& display) {
    int code = -1;
    runOn(display, {"xdotool", "search", "--onlyvisible", "--name", "^Fill in Fields$"}, &code, 3000);
    return code == 0;
}

// Dates the snippets these tests make.
const platform::FakeClock kClock;

using Clock = std::chrono::steady_clock;

constexpr const char* kTapRunning = SablixSession::kTapRunning;

SnippetItem snippet(const std::string& title, const std::string& content) {
    return SnippetItem(platform::Uuid::generate(), title, content, {}, kClock);
}

// The starter snippets (";addr", ";sig", ";tyvm") plus a few made for these tests.
std::vector<SnippetItem> library() {
    platform::MemoryDefaults scratch;
    auto items = sablix::SnippetController(scratch, kClock).populateInitialItems();
    items.push_back(snippet("cur", "a{cursor}b"));
    items.push_back(snippet("hi", "Hello {fill:Name}!"));
    items.push_back(snippet("one", "AAA"));
    items.push_back(snippet("two", "BBB"));
    items.push_back(snippet("now", "It is now noon."));
    items.push_back(snippet("today", "Today is Monday."));
    items.push_back(snippet("ready", "READY"));
    items.push_back(snippet("mysig", "Best regards, {fill:Name}"));
    return items;
}

std::string starterContent(const std::string& title) {
    for (const auto& item : library())
        if (item.snippetTitle == title) return item.snippet;
    return {};
}

// Runs with and without a window manager: the frontmost window, the focus handed to the
// dialog and back, work differently in the two.
class ExpansionE2E : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        server = std::make_unique<testsupport::XvfbServer>();
        ASSERT_TRUE(server->started());
        if (GetParam()) {
            ASSERT_TRUE(server->startWindowManager());
        }
        display = server->display();

        ASSERT_TRUE(field.start(display));
        ASSERT_TRUE(field.focus());
        ASSERT_EQ(field.contents(), "");

        session = std::make_unique<SablixSession>(display);
        session->storeLibrary(library());
    }

    void TearDown() override {
        if (HasFailure() && session) std::fprintf(stderr, "--- sablix log ---\n%s\n", session->log().c_str());
        session.reset();
        clipboardOwner.reset();
        field.stop();
        server.reset();
    }

    void startSablix(const std::vector<std::string>& arguments = {}) {
        ASSERT_TRUE(session->start(arguments));
        ASSERT_TRUE(session->waitForLog(kTapRunning)) << session->log();
        // Sablix brings its main window in front once it has loaded it, which on a busy machine is
        // long after the tap runs: the field takes the focus back only then, or that window takes
        // it from the field behind the test's back and the keys typed next are Sablix's own.
        ASSERT_TRUE(focusIsOn("Sablix")) << focusedWindowName();
        ASSERT_TRUE(waitUntil([&] { return field.focus() && fieldIsInFront(); }, 20000)) << focusedWindowName();
        ASSERT_TRUE(session->waitUntilTapSeesKeys());
    }

    void type(const std::string& text, const std::string& delayMs = "40") {
        int code = -1;
        runOn(display, {"xdotool", "type", "--delay", delayMs, text}, &code);
        ASSERT_EQ(code, 0);
    }
    void key(const std::string& name) {
        int code = -1;
        runOn(display, {"xdotool", "key", name}, &code);
        ASSERT_EQ(code, 0);
    }

    // Generous: on a loaded machine a paste can take seconds; a passing run never waits long.
    bool fieldHolds(const std::string& expected, int timeoutMs = 20000) {
        return waitUntil([&] { return field.contents(1000) == expected; }, timeoutMs);
    }

    // Owns the clipboard with the file's bytes under the type, as another application would.
    void putOnClipboard(const std::string& bytes, const std::string& type) {
        const std::string file = ::testing::TempDir() + "/clipboard-" + std::to_string(::getpid());
        std::ofstream(file, std::ios::binary) << bytes;
        clipboardOwner = std::make_unique<testsupport::ChildProcess>(
            std::vector<std::string>{"xclip", "-quiet", "-selection", "clipboard", "-t", type, "-i", file},
            std::vector<std::string>{"DISPLAY=" + display});
        ASSERT_TRUE(waitUntil([&] { return readClipboard(type) == bytes; }, 20000));
    }
    std::string readClipboard(const std::string& type) {
        int code = -1;
        const auto out =
            runOn(display, {"timeout", "5", "xclip", "-o", "-selection", "clipboard", "-t", type}, &code, 7000);
        return code == 0 ? out : "<unreadable>";
    }

    bool dialogIsOpen() { return fillInDialogIsOpen(display); }
    // The count-th dialog of the session is open and takes the keys typed from now on.
    bool dialogHasTheKeyboard(size_t count = 1) {
        return waitUntil([&] { return dialogIsOpen(); }, 20000) && focusIsOn("Fill in Fields") &&
               session->waitForLog(SablixSession::kDialogHasTheKeyboard, 20000, count);
    }

    // The title of the window holding the keyboard focus (keys typed now go there).
    std::string focusedWindowName() {
        int code = -1;
        std::string name = runOn(display, {"xdotool", "getwindowfocus", "getwindowname"}, &code, 3000);
        while (!name.empty() && name.back() == '\n') name.pop_back();
        return code == 0 ? name : std::string();
    }
    // The field has the keyboard focus and, under the window manager, is its active window too,
    // which is what tells Sablix the application in front (a focus set directly leaves it alone).
    bool fieldIsInFront() {
        if (focusedWindowName() != field.title()) return false;
        if (!GetParam()) return true;
        int code = -1;
        const std::string active = runOn(display, {"xdotool", "getactivewindow"}, &code, 3000);
        return code == 0 && std::strtoul(active.c_str(), nullptr, 10) == field.window();
    }
    bool focusIsOn(const std::string& title) {
        return waitUntil([&] { return focusedWindowName() == title; }, 20000);
    }

    std::unique_ptr<testsupport::XvfbServer> server;
    std::string display;
    testsupport::TkTextField field;
    std::unique_ptr<SablixSession> session;
    std::unique_ptr<testsupport::ChildProcess> clipboardOwner;
};

}  // namespace

TEST_P(ExpansionE2E, TypedTriggerBecomesTheSnippet) {
    startSablix();
    type("Dear ;addr");
    const auto typed = Clock::now();
    const std::string expected = "Dear " + starterContent("addr");
    ASSERT_TRUE(fieldHolds(expected)) << "field holds: " << field.contents();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - typed).count();
    std::printf("[ timing ] last trigger key to content in the field: %lld ms (%s)\n", static_cast<long long>(ms),
                GetParam() ? "matchbox" : "no window manager");

    // The buffer was emptied by the match, and upper case matches too.
    type(" ;SIG");
    EXPECT_TRUE(fieldHolds(expected + " " + starterContent("sig"))) << field.contents();
}

TEST_P(ExpansionE2E, ClipboardSurvivesTheExpansion) {
    startSablix();
    putOnClipboard("the user's own text", "UTF8_STRING");
    type(";tyvm");
    ASSERT_TRUE(fieldHolds(starterContent("tyvm")));
    EXPECT_TRUE(waitUntil([&] { return readClipboard("UTF8_STRING") == "the user's own text"; }, 20000))
        << readClipboard("UTF8_STRING");

    // Not text at all: an image must come back byte for byte.
    ASSERT_TRUE(field.clear());
    std::string png("\x89PNG\r\n\x1a\n", 8);
    for (int i = 0; i < 4096; ++i) png.push_back(static_cast<char>(i * 7));
    putOnClipboard(png, "image/png");
    type(";sig");
    ASSERT_TRUE(fieldHolds(starterContent("sig")));
    EXPECT_TRUE(waitUntil([&] { return readClipboard("image/png") == png; }, 20000));
}

// An application busy when the trigger completes asks for the paste long after Control-V: it must
// still be handed the snippet, and the user's clipboard must come back afterwards.
TEST_P(ExpansionE2E, BusyApplicationPastesTheSnippetNotTheOldClipboard) {
    constexpr int kRuns = 10;  // on each of the two desktops
    startSablix();
    putOnClipboard("the user's own text", "UTF8_STRING");
    ASSERT_TRUE(field.stallOnKey("m", std::chrono::milliseconds(600)));
    for (int run = 1; run <= kRuns; ++run) {
        ASSERT_TRUE(field.clear());
        type(";tyvm");
        ASSERT_TRUE(fieldHolds(starterContent("tyvm"))) << "run " << run << ": " << field.contents();
        ASSERT_TRUE(waitUntil([&] { return readClipboard("UTF8_STRING") == "the user's own text"; }, 20000))
            << "run " << run << ": " << readClipboard("UTF8_STRING");
    }
}

TEST_P(ExpansionE2E, CaretLandsAtTheCursorMark) {
    startSablix();
    type(";cur");
    ASSERT_TRUE(fieldHolds("ab"));
    // The caret moves after the paste; wait for the restore so it is surely done.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    type("X");
    EXPECT_TRUE(fieldHolds("aXb")) << field.contents();
}

TEST_P(ExpansionE2E, FillInDialogInsertsTheValueAndIgnoresItsOwnKeys) {
    startSablix();
    type(";hi");
    ASSERT_TRUE(waitUntil([&] { return dialogIsOpen(); }, 20000)) << "the fill-in dialog did not open";
    ASSERT_TRUE(fieldHolds("")) << "the trigger is erased before the dialog asks";
    ASSERT_TRUE(dialogHasTheKeyboard()) << focusedWindowName();

    // ";addr" typed into our own dialog is a value, not a trigger.
    type("Ann;addr");
    key("Return");
    EXPECT_TRUE(fieldHolds("Hello Ann;addr!")) << field.contents();
    EXPECT_FALSE(dialogIsOpen());
}

TEST_P(ExpansionE2E, EscapeInTheDialogInsertsNothing) {
    startSablix();
    type("x;hi");
    ASSERT_TRUE(dialogHasTheKeyboard()) << focusedWindowName();
    type("Bob");
    key("Escape");
    ASSERT_TRUE(waitUntil([&] { return !dialogIsOpen(); }, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(field.contents(), "x");

    // The field has the focus back and expansion goes on as before.
    ASSERT_TRUE(focusIsOn(field.title())) << focusedWindowName();
    type(";sig");
    EXPECT_TRUE(fieldHolds("x" + starterContent("sig"))) << field.contents();
}

TEST_P(ExpansionE2E, WatchdogRestartsAKilledTap) {
    startSablix({"--watchdog-interval=1"});
    std::smatch match;
    const std::string log = session->log();
    ASSERT_TRUE(std::regex_search(log, match, std::regex("context (0x[0-9a-f]+)"))) << log;

    // Killing the client that owns the recording context ends the recording under the engine.
    int code = -1;
    runOn(display, {"xkill", "-id", match[1]}, &code);
    ASSERT_EQ(code, 0);
    ASSERT_TRUE(session->waitForLog("Event tap stopped delivering keys; marked unregistered"));
    ASSERT_TRUE(session->waitForLog("Resetting TextReplacer", 20000));
    ASSERT_TRUE(session->waitForLog(kTapRunning, 20000, 2));
    ASSERT_TRUE(session->waitUntilTapSeesKeys());
    ASSERT_TRUE(session->running());

    type(";sig");
    EXPECT_TRUE(fieldHolds(starterContent("sig"))) << field.contents();
}

TEST_P(ExpansionE2E, TriggerCompletedAfterADeleteErasesExactlyTheTrigger) {
    startSablix();
    type("x;sih");
    key("BackSpace");
    type("g");
    EXPECT_TRUE(fieldHolds("x" + starterContent("sig"))) << field.contents();
}

TEST_P(ExpansionE2E, ShiftHeldAcrossTheTriggersEndStillExpands) {
    startSablix();
    type(";si");
    // The engine erases and pastes while Shift is still down.
    int code = -1;
    runOn(display, {"xdotool", "keydown", "Shift_L", "key", "g", "sleep", "0.08", "keyup", "Shift_L"}, &code);
    ASSERT_EQ(code, 0);
    EXPECT_TRUE(fieldHolds(starterContent("sig"))) << field.contents();
}

TEST_P(ExpansionE2E, TriggerTypedWhileTheRestoreWaitsErasesOnlyItself) {
    startSablix();
    putOnClipboard("the user's own text", "UTF8_STRING");
    // The second trigger and the text after it come well within the first restore's delay.
    type(";one", "20");
    // Long enough for the first paste to land, well short of its restore.
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    type(";two", "20");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    type(" xyz", "20");
    EXPECT_TRUE(fieldHolds("AAABBB xyz")) << field.contents();
    EXPECT_TRUE(waitUntil([&] { return readClipboard("UTF8_STRING") == "the user's own text"; }, 20000))
        << readClipboard("UTF8_STRING");
}

TEST_P(ExpansionE2E, QuitRightAfterAnExpansionExitsCleanly) {
    startSablix();
    putOnClipboard("the user's own text", "UTF8_STRING");
    // The replacement is still under way (erasing, pasting, the restore waiting) when the quit
    // comes: it must be finished before the objects it uses are destroyed.
    type(";sig");
    const int status = session->stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << session->log();
}

// The keys typed right after a trigger race the erasing and the paste: they must still land after
// the snippet, in the order typed, modifiers included.
TEST_P(ExpansionE2E, KeysTypedRightAfterATriggerFollowTheSnippet) {
    startSablix();
    constexpr int kRuns = 20;
    for (int run = 0; run < kRuns; ++run) {
        ASSERT_TRUE(field.clear());
        type("a ;now bC", "20");
        ASSERT_TRUE(fieldHolds("a It is now noon. bC")) << "run " << run << ": " << field.contents();
    }
    ASSERT_TRUE(field.clear());
    type(";today", "20");
    key("Return");
    type("x", "20");
    EXPECT_TRUE(fieldHolds("Today is Monday.\nx")) << field.contents();
}

// A Shift the user still holds when the held keys are typed again stays held: the next key is
// shifted too, and its release comes out right.
TEST_P(ExpansionE2E, ShiftHeldWhileTheSnippetGoesInStillShiftsTheNextKey) {
    startSablix();
    int code = -1;
    runOn(display, {"xdotool", "key", "--delay", "20", "semicolon", "n", "o", "w", "keydown", "Shift_L", "key", "c"},
          &code);
    ASSERT_EQ(code, 0);
    ASSERT_TRUE(fieldHolds("It is now noon.C")) << field.contents();
    runOn(display, {"xdotool", "key", "d", "keyup", "Shift_L", "key", "e"}, &code);
    ASSERT_EQ(code, 0);
    EXPECT_TRUE(fieldHolds("It is now noon.CDe")) << field.contents();
}

// Keys typed between a fill-in trigger and the dialog taking the focus are the field's: they follow
// the snippet, and the dialog gets only what is typed into it.
TEST_P(ExpansionE2E, KeysTypedRightAfterAFillInTriggerFollowTheSnippet) {
    startSablix();
    type("x ;mysig b", "20");
    ASSERT_TRUE(dialogHasTheKeyboard()) << focusedWindowName();
    type("Ann");
    key("Return");
    EXPECT_TRUE(fieldHolds("x Best regards, Ann b")) << field.contents();
}

// A click moves the caret: what was typed before it is no trigger with what is typed after it.
TEST_P(ExpansionE2E, ClickInsideAHalfTypedTriggerStartsItAfresh) {
    startSablix();
    type("abc ;rea");
    ASSERT_TRUE(fieldHolds("abc ;rea"));
    int code = -1;
    // The top left corner of the text (raised over our own window): the caret goes before "abc".
    const std::string window = std::to_string(field.window());
    runOn(display, {"xdotool", "windowraise", window, "mousemove", "--window", window, "4", "4", "click", "1"}, &code);
    ASSERT_EQ(code, 0);
    // ";one" expands: once it is in, every key before it has been handled.
    type("dy;one");
    EXPECT_TRUE(fieldHolds("dyAAAabc ;rea")) << field.contents();
}

INSTANTIATE_TEST_SUITE_P(NoWindowManager, ExpansionE2E, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Matchbox, ExpansionE2E, ::testing::Values(true));

// A GTK field with the focus, and Sablix running with the test library and seeing keys.
class GtkExpansionE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        ASSERT_TRUE(field.start(server.display()));
        ASSERT_TRUE(field.focus());
        session.storeLibrary(library());
        ASSERT_TRUE(session.start());
        ASSERT_TRUE(session.waitForLog(kTapRunning)) << session.log();
        ASSERT_TRUE(field.focus());
        ASSERT_TRUE(session.waitUntilTapSeesKeys());
    }
    testsupport::XvfbServer server;
    testsupport::GtkEntryField field;
    SablixSession session{server.display()};
};

// The same in a GTK field, which asks for the pasted text without blocking its other input.
TEST_F(GtkExpansionE2E, KeysTypedRightAfterATriggerFollowTheSnippet) {

    for (int run = 0; run < 20; ++run) {
        ASSERT_TRUE(field.clear());
        int code = -1;
        runOn(server.display(), {"xdotool", "type", "--delay", "20", "a ;now bC"}, &code);
        ASSERT_EQ(code, 0);
        ASSERT_TRUE(waitUntil([&] { return field.contents() == "a It is now noon. bC"; }, 20000))
            << "run " << run << ": " << field.contents() << "\n"
            << session.log();
    }
}

TEST_F(GtkExpansionE2E, KeysTypedRightAfterAFillInTriggerFollowTheSnippet) {

    int code = -1;
    runOn(server.display(), {"xdotool", "type", "--delay", "20", "x ;mysig b"}, &code);
    ASSERT_EQ(code, 0);
    ASSERT_TRUE(waitUntil([&] { return fillInDialogIsOpen(server.display()); }, 20000));
    ASSERT_TRUE(session.waitForLog(SablixSession::kDialogHasTheKeyboard)) << session.log();
    runOn(server.display(), {"xdotool", "type", "--delay", "20", "Ann"}, &code);
    ASSERT_EQ(code, 0);
    runOn(server.display(), {"xdotool", "key", "Return"}, &code);
    ASSERT_EQ(code, 0);
    EXPECT_TRUE(waitUntil([&] { return field.contents() == "x Best regards, Ann b"; }, 20000))
        << field.contents() << "\n"
        << session.log();
}

TEST(StartUpE2E, ServerWithoutRecordIsReportedAndWaitedFor) {
    testsupport::XvfbServer server({"-extension", "RECORD"});
    ASSERT_TRUE(server.started());
    SablixSession session(server.display());
    session.storeLibrary(library());
    ASSERT_TRUE(session.start());
    EXPECT_TRUE(session.waitForLog("Cannot register - accessibility permissions not granted")) << session.log();
    // It keeps polling for the permission rather than giving up.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(session.running());
    EXPECT_EQ(session.logCount(kTapRunning), 0u);
    const int status = session.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "SIGTERM must end it cleanly, status " << status;
}
