// The recorder over the real hot-key manager and the real X11 key monitor, fed key presses as X
// hands them to the application's window (X keycodes and modifier state), so the key table and
// the modifier mapping are those the hot key is grabbed with.
#include <QAbstractEventDispatcher>
#include <gtest/gtest.h>
#include <optional>
#include <xcb/xcb.h>

#include "Shell/Hotkey/HotkeyManager.h"
#include "Shell/Hotkey/HotkeyRecorder.h"
#include "desktop/QtMainQueue.h"
#include "desktop/x11/X11LocalKeyMonitor.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeHotkeyGrabber.h"
#include "support/FakeKeyLayout.h"
#include "support/LogCapture.h"

using sablix::HotkeyManager;
using sablix::HotkeyRecorder;
using sablix::KeyCombo;
using testsupport::FakeHotkeyGrabber;

namespace {

// X keycodes of the evdev keyboard.
constexpr uint8_t kXEscape = 9, kXA = 38, kXK = 45, kXSpace = 65, kXF5 = 71, kXControlL = 37, kXF13 = 191;
constexpr uint8_t kXUnmappedKey = 107;  // SysRq: no Mac key
constexpr uint16_t kShift = XCB_MOD_MASK_SHIFT, kControl = XCB_MOD_MASK_CONTROL, kAlt = XCB_MOD_MASK_1,
                   kSuper = XCB_MOD_MASK_4, kLocks = XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2;
const KeyCombo kOldCombo{96, 0x300};  // Command-Shift-F5

class HotkeyRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        hotkeys.saveCombo(kOldCombo);
        hotkeys.registerHotkey();
    }

    // True when the press was taken away from the window.
    static bool press(uint8_t xKeycode, uint16_t xState) {
        xcb_key_press_event_t event{};
        event.response_type = XCB_KEY_PRESS;
        event.detail = xKeycode;
        event.state = xState;
        event.root = 1;
        event.event = 2;  // the application's window
        qintptr result = 0;
        return QAbstractEventDispatcher::instance()->filterNativeEvent("xcb_generic_event_t", &event, &result);
    }
    std::optional<KeyCombo> stored() const {
        const auto data = defaults.data(HotkeyManager::kComboKey);
        if (!data) return std::nullopt;
        return KeyCombo::decode(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    }

    testsupport::LogCapture logs;
    platform::MemoryDefaults defaults;
    FakeHotkeyGrabber grabber;
    testsupport::FakeKeyLayout layout;
    HotkeyManager hotkeys{{defaults, grabber, layout, desktop::QtMainQueue::shared(), nullptr}};
    desktop::X11LocalKeyMonitor monitor;
    HotkeyRecorder recorder{hotkeys, monitor, layout};
};

}  // namespace

TEST_F(HotkeyRecorderTest, AcceptedCombinationsAreStoredAndGrabbedRefusedOnesKeepItWaiting) {
    using Press = std::pair<uint8_t, uint16_t>;  // X keycode and state
    const struct {
        const char* what;
        std::vector<Press> refused;  // swallowed, recording goes on
        Press accepted;
        KeyCombo expected;
    } cases[] = {
        {"Control-Space, the hot key itself", {}, {kXSpace, kControl}, {49, 0x1000}},
        {"Shift alone is not enough", {{kXA, kShift}, {kXA, 0}}, {kXA, kAlt | kShift}, {0, 0x800 | 0x200}},
        {"Caps Lock and Num Lock are no part of it", {}, {kXK, kControl | kAlt | kLocks}, {40, 0x1000 | 0x800}},
        {"Super is Command", {}, {kXK, kSuper}, {40, 0x100}},
        {"F13 may stand alone, F5 may not", {{kXF5, 0}}, {kXF13, 0}, {105, 0}},
        {"a key no Mac has cannot be grabbed again", {{kXUnmappedKey, kControl}}, {kXSpace, kControl}, {49, 0x1000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        hotkeys.saveCombo(kOldCombo);
        recorder.startRecording();
        ASSERT_TRUE(recorder.isRecording());
        EXPECT_FALSE(grabber.held()) << "the hot key is off while recording";
        // A modifier pressed on its own only changes the flags of the next key.
        EXPECT_FALSE(press(kXControlL, 0));
        for (const auto& [keycode, state] : c.refused) {
            EXPECT_TRUE(press(keycode, state));
            EXPECT_TRUE(recorder.isRecording());
            EXPECT_EQ(stored(), kOldCombo);
        }
        EXPECT_TRUE(press(c.accepted.first, c.accepted.second));
        EXPECT_FALSE(recorder.isRecording());
        EXPECT_EQ(stored(), c.expected);
        EXPECT_EQ(grabber.held(), (FakeHotkeyGrabber::Grab{c.expected.keyCode, c.expected.carbonModifiers}));
        EXPECT_FALSE(press(kXK, kControl)) << "keys reach the windows again";
    }
    EXPECT_EQ(grabber.grabsOverlapping, 0);
}

TEST_F(HotkeyRecorderTest, EscapeAndEveryOtherWayOutKeepTheOldCombinationAndRestoreTheHotKey) {
    recorder.startRecording();
    EXPECT_TRUE(press(kXEscape, kSuper));
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_EQ(stored(), kOldCombo);
    EXPECT_EQ(grabber.held(), (FakeHotkeyGrabber::Grab{96, 0x300}));

    // With the switch off, leaving registers nothing, whichever way it is left.
    hotkeys.setEnabled(false);
    for (const auto leave :
         {+[](HotkeyRecorder& r) { r.toggleRecording(); }, +[](HotkeyRecorder& r) { r.resetToDefault(); }}) {
        recorder.startRecording();
        leave(recorder);
        EXPECT_FALSE(recorder.isRecording());
        EXPECT_FALSE(grabber.held());
        EXPECT_FALSE(monitor.running());
    }
    EXPECT_EQ(stored(), KeyCombo::defaultCombo()) << "reset restores Control-Space";

    // A combination another client holds stays stored and shown; the refusal is logged.
    hotkeys.setEnabled(true);
    grabber.refuseGrab = 10;
    recorder.startRecording();
    EXPECT_TRUE(press(kXK, kControl | kAlt));
    EXPECT_EQ(stored(), (KeyCombo{40, 0x1800}));
    EXPECT_EQ(recorder.displayString(), "Ctrl+Alt+Key40");
    EXPECT_FALSE(grabber.held());
    EXPECT_TRUE(logs.has("HotkeyManager", "Failed to register hotkey: 10"));

    // A recorder that goes at quit while it records gives the keys back.
    {
        HotkeyRecorder leaving(hotkeys, monitor, layout);
        leaving.startRecording();
    }
    EXPECT_FALSE(press(kXK, kControl));
}
