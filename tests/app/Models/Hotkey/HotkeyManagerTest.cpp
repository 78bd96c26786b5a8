#include <QCoreApplication>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "Models/Hotkey/HotkeyManager.h"
#include "desktop/QtMainQueue.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeHotkeyGrabber.h"
#include "support/FakeKeyLayout.h"
#include "support/ModelsTestSupport.h"

using platform::DefaultsValue;
using sablix::HotkeyManager;
using sablix::KeyCombo;
using testsupport::FakeHotkeyGrabber;

namespace {

constexpr const char* kComboKey = "sablix_hotkey_combo";
constexpr const char* kEnabledKey = "sablix_hotkey_enabled";
const KeyCombo kCommandShiftF5{96, 0x300};

class HotkeyManagerTest : public ::testing::Test {
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
    std::vector<std::string> logs() const { return logCapture.messages("HotkeyManager"); }

    platform::MemoryDefaults defaults;
    FakeHotkeyGrabber grabber;
    testsupport::FakeKeyLayout layout;
    modelstest::LogCapture logCapture;
    int toggles = 0;
};

}  // namespace

TEST_F(HotkeyManagerTest, StoredSettingsAreReadAndBadOnesFallBack) {
    struct Case {
        std::optional<DefaultsValue> combo, enabled;
        KeyCombo expectedCombo;
        bool expectedEnabled;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, KeyCombo::defaultCombo(), true},
        {DefaultsValue::data(kCommandShiftF5.encoded()), false, kCommandShiftF5, false},
        {DefaultsValue::data(R"({"keyCode":-1,"carbonModifiers":4096})"), true, KeyCombo::defaultCombo(), true},
        {DefaultsValue::data("not json"), DefaultsValue(int64_t{0}), KeyCombo::defaultCombo(), true},
        // The JSON as text rather than data is not the stored form.
        {DefaultsValue(kCommandShiftF5.encoded()), DefaultsValue("false"), KeyCombo::defaultCombo(), true},
    };
    for (const auto& c : cases) {
        platform::MemoryDefaults store;
        if (c.combo) store.set(kComboKey, *c.combo);
        if (c.enabled) store.set(kEnabledKey, *c.enabled);
        const size_t writes = store.writeCount();
        HotkeyManager manager({store, grabber, layout, desktop::QtMainQueue::shared(), nullptr});
        EXPECT_EQ(manager.currentCombo(), c.expectedCombo);
        EXPECT_EQ(manager.isEnabled(), c.expectedEnabled);
        // Nothing is written or registered by reading, and bad data stays as it was.
        EXPECT_EQ(store.writeCount(), writes);
        EXPECT_EQ(store.object(kComboKey), c.combo);
        EXPECT_EQ(grabber.handlersInstalled, 0);
    }
    EXPECT_TRUE(logs().empty());
}

TEST_F(HotkeyManagerTest, SwitchAndCombinationKeepExactlyOneRegistration) {
    auto manager = makeManager();
    QSignalSpy enabledSpy(manager.get(), &HotkeyManager::isEnabledChanged);
    QSignalSpy comboSpy(manager.get(), &HotkeyManager::currentComboChanged);

    manager->registerHotkey();
    EXPECT_EQ(grabber.held(), (FakeHotkeyGrabber::Grab{49, 0x1000}));
    EXPECT_EQ(logs(), (std::vector<std::string>{"Hotkey registered: ⌃Space"}));

    manager->setEnabled(true);
    manager->setEnabled(true);
    EXPECT_EQ(grabber.grabsOverlapping, 0);
    EXPECT_TRUE(grabber.held().has_value());

    manager->setEnabled(false);
    EXPECT_FALSE(grabber.held().has_value());
    EXPECT_FALSE(grabber.hasHandler());
    EXPECT_EQ(defaults.object(kEnabledKey), DefaultsValue(false));
    manager->registerHotkey();  // the switch is off
    EXPECT_FALSE(grabber.hasHandler());

    // Saved while off: stored, not registered; it is what the switch registers later.
    manager->saveCombo(kCommandShiftF5);
    EXPECT_FALSE(grabber.held().has_value());
    EXPECT_EQ(defaults.object(kComboKey), DefaultsValue::data(R"({"keyCode":96,"carbonModifiers":768})"));
    manager->setEnabled(true);
    EXPECT_EQ(grabber.held(), (FakeHotkeyGrabber::Grab{96, 0x300}));

    manager->resetToDefault();
    EXPECT_EQ(grabber.held(), (FakeHotkeyGrabber::Grab{49, 0x1000}));
    EXPECT_EQ(grabber.grabsOverlapping, 0);
    EXPECT_EQ(defaults.object(kComboKey), DefaultsValue::data(KeyCombo::defaultCombo().encoded()));

    EXPECT_EQ(enabledSpy.count(), 4);
    EXPECT_EQ(comboSpy.count(), 2);
    // What was stored is what the next start reads.
    auto restarted = makeManager();
    EXPECT_EQ(restarted->currentCombo(), KeyCombo::defaultCombo());
    EXPECT_TRUE(restarted->isEnabled());
}

TEST_F(HotkeyManagerTest, RefusalsAreLoggedAndTheNextRegisterTriesAgain) {
    auto manager = makeManager();
    grabber.refuseGrab = 10;
    manager->registerHotkey();
    EXPECT_EQ(logs(), (std::vector<std::string>{"Failed to register hotkey: 10"}));
    EXPECT_FALSE(grabber.held().has_value());
    EXPECT_TRUE(grabber.hasHandler());  // the handler stays until the next unregister

    grabber.refuseGrab = 0;
    manager->registerHotkey();
    EXPECT_TRUE(grabber.held().has_value());
    EXPECT_EQ(logs().back(), "Hotkey registered: ⌃Space");

    manager->unregisterHotkey();
    grabber.refuseHandler = -1;
    const int grabsBefore = grabber.grabsAttempted;
    manager->registerHotkey();
    EXPECT_EQ(logs().back(), "Failed to install event handler: -1");
    EXPECT_EQ(grabber.grabsAttempted, grabsBefore);
}

TEST_F(HotkeyManagerTest, PressTogglesOnTheMainQueueAndOutlivesNothing) {
    auto manager = makeManager();
    manager->registerHotkey();
    ASSERT_TRUE(grabber.press());
    EXPECT_EQ(toggles, 0);  // queued, not run inside the desktop's delivery
    QCoreApplication::processEvents();
    EXPECT_EQ(toggles, 1);

    // A press queued just before the manager went, and one arriving after.
    ASSERT_TRUE(grabber.press());
    manager.reset();
    EXPECT_TRUE(grabber.press());
    QCoreApplication::processEvents();
    EXPECT_EQ(toggles, 1);
}
