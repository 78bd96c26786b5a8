// The hot key changed as a user does it: the real `sablix` binary under a window manager, its
// settings sheet opened from the toolbar, the recorder clicked and the new combination pressed
// with real X events; then that combination, pressed over another application, brings the
// window forward. Where the controls are comes from the application's item probe.
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>

#include "platform/FileDefaults.h"
#include "support/Desk.h"

using e2e::runOn;
using e2e::waitUntil;
namespace fs = std::filesystem;

namespace {

using e2e::ProbedItem;

class SettingsE2E : public ::testing::Test, protected e2e::Desk {
protected:
    void SetUp() override { ASSERT_TRUE(open()); }
    void TearDown() override {
        if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", session.log().c_str());
        session.stop();
    }

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
