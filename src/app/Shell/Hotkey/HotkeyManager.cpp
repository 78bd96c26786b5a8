#include "Shell/Hotkey/HotkeyManager.h"

namespace sablix {

HotkeyManager::HotkeyManager(Collaborators collaborators, QObject* parent)
    : QObject(parent),
      userDefaults_(collaborators.userDefaults),
      grabber_(collaborators.grabber),
      keyLayout_(collaborators.keyLayout),
      mainQueue_(collaborators.mainQueue),
      toggleApplication_(std::move(collaborators.toggleApplication)),
      logger_(platform::appLog("HotkeyManager")) {
    // Data that does not decode is left in the store as it is; the default stands in for it.
    if (const auto data = userDefaults_.data(kComboKey))
        if (auto combo = KeyCombo::decode(std::string_view(reinterpret_cast<const char*>(data->data()), data->size())))
            currentCombo_ = *combo;
    if (const auto stored = userDefaults_.object(kEnabledKey))
        if (const bool* enabled = stored->asBool()) isEnabled_ = *enabled;
}

HotkeyManager::~HotkeyManager() = default;

void HotkeyManager::saveCombo(const KeyCombo& combo) {
    currentCombo_ = combo;
    emit currentComboChanged(currentCombo_);
    userDefaults_.set(kComboKey, platform::DefaultsValue::data(combo.encoded()));
    unregisterHotkey();
    if (isEnabled_) registerHotkey();
}

void HotkeyManager::setEnabled(bool enabled) {
    isEnabled_ = enabled;
    emit isEnabledChanged(enabled);
    userDefaults_.set(kEnabledKey, enabled);
    if (enabled)
        registerHotkey();
    else
        unregisterHotkey();
}

void HotkeyManager::resetToDefault() { saveCombo(KeyCombo::defaultCombo()); }

void HotkeyManager::registerHotkey() {
    if (!isEnabled_) return;
    unregisterHotkey();

    std::weak_ptr<int> alive = alive_;
    const int handlerStatus = grabber_.installHandler([this, alive] {
        if (!alive.expired()) handleHotkey();
    });
    if (handlerStatus != desktop::HotkeyGrabber::kNoError) {
        logger_.error("Failed to install event handler: %d", handlerStatus);
        return;
    }
    handlerInstalled_ = true;

    const int grabStatus = grabber_.grab(currentCombo_.keyCode, currentCombo_.carbonModifiers);
    if (grabStatus != desktop::HotkeyGrabber::kNoError) {
        logger_.error("Failed to register hotkey: %d", grabStatus);
        setTaken(true);
        return;
    }
    grabbed_ = true;
    setTaken(false);
    logger_.info("Hotkey registered: %s", currentCombo_.displayString(keyLayout_).c_str());
}

void HotkeyManager::unregisterHotkey() {
    setTaken(false);
    if (grabbed_) {
        grabber_.ungrab();
        grabbed_ = false;
    }
    if (handlerInstalled_) {
        grabber_.removeHandler();
        handlerInstalled_ = false;
    }
}

void HotkeyManager::setTaken(bool taken) {
    if (taken == isTaken_) return;
    isTaken_ = taken;
    emit isTakenChanged(taken);
}

void HotkeyManager::handleHotkey() {
    // Always queued, so the desktop's event delivery never waits for windows to move.
    std::weak_ptr<int> alive = alive_;
    mainQueue_.async([this, alive] {
        if (alive.expired() || !toggleApplication_) return;
        toggleApplication_();
    });
}

}  // namespace sablix
