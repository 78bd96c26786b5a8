#pragma once
#include <QObject>
#include <functional>
#include <memory>

#include "Shell/Hotkey/KeyCombo.h"
#include "desktop/HotkeyGrabber.h"
#include "desktop/KeyLayout.h"
#include "platform/Defaults.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"

namespace sablix {

// The application's one system-wide shortcut: the combination in force and the on/off switch,
// both kept in the defaults store, and its registration with the desktop. Every register
// begins by unregistering, so at most one grab and one press handler exist at a time. Used on
// the main thread only; every assignment is published.
class HotkeyManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isEnabled READ isEnabled WRITE setEnabled NOTIFY isEnabledChanged)
    Q_PROPERTY(bool isTaken READ isTaken NOTIFY isTakenChanged)

public:
    static constexpr const char* kComboKey = "sablix_hotkey_combo";
    static constexpr const char* kEnabledKey = "sablix_hotkey_enabled";

    struct Collaborators {
        platform::Defaults& userDefaults;
        desktop::HotkeyGrabber& grabber;
        desktop::KeyLayout& keyLayout;  // names the key in the log
        platform::Executor& mainQueue;
        // What a press does: bring the application forward, or hide it when it is in front.
        std::function<void()> toggleApplication;
    };

    // Reads the stored combination and switch; registers nothing.
    explicit HotkeyManager(Collaborators collaborators, QObject* parent = nullptr);
    // Leaves any registration in place (the application removes it at quit); presses that
    // still arrive afterwards reach nothing.
    ~HotkeyManager() override;

    const KeyCombo& currentCombo() const { return currentCombo_; }
    bool isEnabled() const { return isEnabled_; }
    // The desktop refused the current combination the last time it was registered, because
    // another application holds it; false again once a combination is registered or the hot
    // key is taken off.
    bool isTaken() const { return isTaken_; }

    // Makes `combo` current, stores it and registers it again if the switch is on.
    void saveCombo(const KeyCombo& combo);
    // Stores the switch, then registers or unregisters.
    void setEnabled(bool enabled);
    void resetToDefault();
    // Registers the current combination if the switch is on; a refusal is logged and leaves the
    // application without a hot key until the next register.
    void registerHotkey();
    // Removes the grab, then the press handler.
    void unregisterHotkey();
    // A press: hands the toggle to the main queue.
    void handleHotkey();

signals:
    void currentComboChanged(const sablix::KeyCombo& combo);
    void isEnabledChanged(bool isEnabled);
    void isTakenChanged(bool isTaken);

private:
    void setTaken(bool taken);

    platform::Defaults& userDefaults_;
    desktop::HotkeyGrabber& grabber_;
    desktop::KeyLayout& keyLayout_;
    platform::Executor& mainQueue_;
    std::function<void()> toggleApplication_;
    platform::Log logger_;

    KeyCombo currentCombo_;
    bool isEnabled_ = true;
    // Registration state: neither, handler only (the grab was refused), or both.
    bool handlerInstalled_ = false;
    bool grabbed_ = false;
    bool isTaken_ = false;
    // Expires with this object, so queued presses and late handler calls find it gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace sablix
