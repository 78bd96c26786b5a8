// The hot key on a real X server: the manager registers through the X11 grabber on Qt's own
// connection, and presses typed by another client reach the toggle.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>

#include "Shell/Hotkey/HotkeyManager.h"
#include "desktop/QtMainQueue.h"
#include "desktop/x11/X11HotkeyGrabber.h"
#include "platform/MemoryDefaults.h"
#include "support/ChildProcess.h"
#include "support/FakeKeyLayout.h"
#include "support/ModelsTestSupport.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>

using sablix::HotkeyManager;

namespace {

using Connection = std::unique_ptr<Display, int (*)(Display*)>;

Connection connect() { return Connection(XOpenDisplay(nullptr), XCloseDisplay); }

// Another application on the same display takes Control + Space with these modifiers, for as
// long as its connection lasts; false when X refused, as it does while someone else holds it.
bool grab(const Connection& other, unsigned int modifiers = ControlMask) {
    if (!other) return false;
    static bool refused;
    refused = false;
    auto previous = XSetErrorHandler([](Display*, XErrorEvent* e) {
        if (e->error_code == BadAccess) refused = true;
        return 0;
    });
    XGrabKey(other.get(), XKeysymToKeycode(other.get(), XK_space), modifiers, DefaultRootWindow(other.get()), False,
             GrabModeAsync, GrabModeAsync);
    XSync(other.get(), False);
    XSetErrorHandler(previous);
    return !refused;
}

bool canGrab(unsigned int modifiers = ControlMask) { return grab(connect(), modifiers); }

class X11HotkeyTest : public ::testing::Test {
protected:
    std::unique_ptr<HotkeyManager> makeManager() {
        return std::make_unique<HotkeyManager>(HotkeyManager::Collaborators{
            .userDefaults = defaults,
            .grabber = grabber,
            .keyLayout = layout,
            .mainQueue = desktop::QtMainQueue::shared(),
            .toggleApplication = [this] { ++toggles; },
        });
    }

    static void type(const std::vector<std::string>& keys) {
        std::vector<std::string> argv{"xdotool", "key"};
        argv.insert(argv.end(), keys.begin(), keys.end());
        int exitCode = -1;
        testsupport::runCommand(argv, &exitCode);
        ASSERT_EQ(exitCode, 0);
    }

    // Runs the Qt event loop until the toggle has run `count` times (bounded).
    bool togglesReach(int count) {
        QElapsedTimer timer;
        timer.start();
        while (toggles < count && timer.elapsed() < 5000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
        return toggles == count;
    }

    std::vector<std::string> logs() const { return logCapture.messages("HotkeyManager"); }

    platform::MemoryDefaults defaults;
    desktop::X11HotkeyGrabber grabber;
    testsupport::FakeKeyLayout layout;
    modelstest::LogCapture logCapture;
    int toggles = 0;
};

}  // namespace

TEST_F(X11HotkeyTest, PressesReachTheToggleWhateverTheLockKeysUntilSwitchedOffOrChanged) {
    auto manager = makeManager();
    manager->registerHotkey();
    ASSERT_EQ(logs(), (std::vector<std::string>{"Hotkey registered: Ctrl+Space"}));

    type({"ctrl+space"});
    EXPECT_TRUE(togglesReach(1));
    // Num Lock and Caps Lock on change the modifier state X reports with the key.
    type({"Num_Lock", "ctrl+space", "Num_Lock"});
    EXPECT_TRUE(togglesReach(2));
    type({"Caps_Lock", "ctrl+space", "Caps_Lock"});
    EXPECT_TRUE(togglesReach(3));
    // Held past the auto-repeat delay, it still toggles once.
    int exitCode = -1;
    testsupport::runCommand({"sh", "-c", "xdotool keydown ctrl+space; sleep 1.2; xdotool keyup space ctrl"}, &exitCode);
    ASSERT_EQ(exitCode, 0);
    EXPECT_TRUE(togglesReach(4));
    QThread::msleep(300);
    QCoreApplication::processEvents();
    EXPECT_EQ(toggles, 4);

    // Switched off, the combination is free for others again.
    EXPECT_FALSE(canGrab());
    manager->setEnabled(false);
    EXPECT_TRUE(canGrab());
    manager->setEnabled(true);

    // A changed combination replaces the grab. Command + Shift + F5: Command is the Super key.
    manager->saveCombo(sablix::KeyCombo{96, 0x300});
    EXPECT_EQ(logs().back(), "Hotkey registered: Shift+Super+F5");
    EXPECT_TRUE(canGrab());
    type({"super+shift+F5"});
    EXPECT_TRUE(togglesReach(5));
}

TEST_F(X11HotkeyTest, CombinationHeldByAnotherClientIsLoggedAndTakenOnceFree) {
    auto manager = makeManager();
    {
        const Connection other = connect();
        ASSERT_TRUE(grab(other));
        manager->registerHotkey();
        EXPECT_EQ(logs(), (std::vector<std::string>{"Failed to register hotkey: 10"}));
        // The lock variants the manager did get went back with the refusal: with Num Lock on,
        // the combination is not swallowed by an application that has no hot key.
        EXPECT_TRUE(canGrab(ControlMask | Mod2Mask));
        EXPECT_TRUE(canGrab(ControlMask | LockMask));
    }
    // The other client's grab went with its connection: a new register takes the combination.
    manager->registerHotkey();
    EXPECT_EQ(logs().back(), "Hotkey registered: Ctrl+Space");
    type({"ctrl+space"});
    EXPECT_TRUE(togglesReach(1));
}
