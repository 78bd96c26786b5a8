// The hot key changed as a user does it: the real `sablix` binary under a window manager, its
// settings sheet opened from the toolbar, the recorder clicked and the new combination pressed
// with real X events; then that combination, pressed over another application, brings the
// window forward. Where the controls are comes from the application's item probe.
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "platform/FileDefaults.h"
#include "support/DeskTest.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>

using e2e::runOn;
using e2e::waitUntil;
namespace fs = std::filesystem;

namespace {

using e2e::ProbedItem;

class SettingsE2E : public e2e::DeskTest {
protected:
    std::optional<ProbedItem> maybe(const std::string& name) { return probed.maybe(name); }
    bool shows(const std::string& name, const std::string& text) { return probed.shows(name, text); }
    std::string activeWindowName() {
        std::string name = runOn(display(), {"xdotool", "getactivewindow", "getwindowname"});
        while (!name.empty() && name.back() == '\n') name.pop_back();
        return name;
    }
    // The stored combination's bytes, as the defaults file holds them.
    std::string storedCombo() {
        std::string configHome;
        for (const auto& entry : session.environment())
            if (entry.starts_with("XDG_CONFIG_HOME=")) configHome = entry.substr(16);
        platform::FileDefaults defaults(fs::path(configHome) / "sablix" / "defaults.json", {});
        const auto data = defaults.data("sablix_hotkey_combo");
        return data ? std::string(data->begin(), data->end()) : std::string();
    }
};

}  // namespace

TEST_F(SettingsE2E, ARecordedHotKeyIsStoredAndBringsTheWindowForward) {
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(session.waitForLog("Hotkey registered: Ctrl+Space")) << session.log();

    click("settingsButton");
    ASSERT_TRUE(shows("hotkeyRecordButton", "Ctrl+Space"));

    // Escape while recording keeps what there was.
    click("hotkeyRecordButton");
    ASSERT_TRUE(shows("hotkeyRecordButton", "Press shortcut..."));
    key("Escape");
    EXPECT_TRUE(shows("hotkeyRecordButton", "Ctrl+Space"));
    EXPECT_EQ(storedCombo(), "");
    EXPECT_TRUE(maybe("settingsView").has_value()) << "Escape went to the recorder, not to the sheet";

    click("hotkeyRecordButton");
    ASSERT_TRUE(shows("hotkeyRecordButton", "Press shortcut..."));
    key("ctrl+alt+k");
    EXPECT_TRUE(shows("hotkeyRecordButton", "Ctrl+Alt+K"));
    EXPECT_EQ(storedCombo(), R"({"keyCode":40,"carbonModifiers":6144})");
    EXPECT_TRUE(session.waitForLog("Hotkey registered: Ctrl+Alt+K")) << session.log();

    click("doneButton");
    ASSERT_TRUE(waitUntil([&] { return !maybe("settingsView"); }, 10000)) << "Done closes the sheet";

    // Over another application the new combination brings Sablix forward.
    ASSERT_TRUE(field.focus());
    ASSERT_TRUE(waitUntil([&] { return activeWindowName() != "Sablix"; }, 5000));
    key("ctrl+alt+k");
    EXPECT_TRUE(waitUntil([&] { return activeWindowName() == "Sablix"; }, 5000)) << activeWindowName();
    EXPECT_EQ(session.stop(), 0);
}

TEST_F(SettingsE2E, TheSheetIsFiveHundredWideAtMostSixHundredHighAndHoldsEveryControl) {
    ASSERT_TRUE(session.start());
    click("settingsButton");
    ASSERT_TRUE(probed.shows("doneButton"));
    // What the sheet asks of the window manager: no resizing beyond its frame. The search may
    // name more than one window for it.
    std::string hints;
    EXPECT_TRUE(waitUntil(
        [&] {
            std::istringstream ids(runOn(display(), {"xdotool", "search", "--onlyvisible", "--name", "^Settings$"}));
            for (std::string id; std::getline(ids, id);)
                if ((hints = runOn(display(), {"xprop", "-id", id, "WM_NORMAL_HINTS"})).find("minimum size") !=
                    std::string::npos)
                    return true;
            return false;
        },
        10000));
    EXPECT_NE(hints.find("minimum size: 500 by 400"), std::string::npos) << hints;
    EXPECT_NE(hints.find("maximum size: 500 by 600"), std::string::npos) << hints;

    const auto view = maybe("settingsView");
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->width, 500);
    EXPECT_GE(view->height, 400);
    EXPECT_LE(view->height, 600);
    // The sheet's items follow its view in the probe, after the main window's.
    const auto items = probed.probe();
    for (auto item = std::ranges::find(items, std::string("settingsView"), &ProbedItem::name); item != items.end();
         ++item)
        EXPECT_LE(item->x + item->width, view->x + view->width) << item->name << " sticks out to the right";
}

TEST_F(SettingsE2E, ACombinationAnotherApplicationHoldsIsReportedUntilAnotherIsRecorded) {
    std::unique_ptr<Display, int (*)(Display*)> other(XOpenDisplay(display().c_str()), XCloseDisplay);
    ASSERT_TRUE(other);
    XGrabKey(other.get(), XKeysymToKeycode(other.get(), XK_space), ControlMask, DefaultRootWindow(other.get()), False,
             GrabModeAsync, GrabModeAsync);
    XSync(other.get(), False);
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(session.waitForLog("Failed to register hotkey")) << session.log();

    click("settingsButton");
    ASSERT_TRUE(probed.shows("hotkeyTakenLabel"));
    EXPECT_NE(maybe("hotkeyTakenLabel")->text.find("is taken by another application"), std::string::npos);

    click("hotkeyRecordButton");
    ASSERT_TRUE(shows("hotkeyRecordButton", "Press shortcut..."));
    key("ctrl+alt+k");
    ASSERT_TRUE(session.waitForLog("Hotkey registered")) << session.log();
    EXPECT_TRUE(waitUntil([&] { return !maybe("hotkeyTakenLabel"); }, 10000)) << "the registered one is not taken";
}
