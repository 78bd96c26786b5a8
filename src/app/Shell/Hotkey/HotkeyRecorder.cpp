#include "Shell/Hotkey/HotkeyRecorder.h"

#include <array>
#include <limits>

#include "Shell/Hotkey/HotkeyManager.h"
#include "Shell/Hotkey/KeyCombo.h"
#include "desktop/KeyCodes.h"

namespace sablix {
namespace {

constexpr std::array<int, 3> kKeysRecordableAlone{105, 107, 113};
// The flags that name modifiers, whatever the keyboard's own bits below them say.
constexpr uint64_t kDeviceIndependentFlags = 0xFFFF0000;
constexpr int kLargestKeyCode = std::numeric_limits<uint16_t>::max();

}  // namespace

HotkeyRecorder::HotkeyRecorder(HotkeyManager& hotkeyManager, desktop::LocalKeyMonitor& monitor,
                               desktop::KeyLayout& keyLayout, QObject* parent)
    : QObject(parent), hotkeyManager_(hotkeyManager), monitor_(monitor), keyLayout_(keyLayout) {
    connect(&hotkeyManager_, &HotkeyManager::currentComboChanged, this, &HotkeyRecorder::displayStringChanged);
}

HotkeyRecorder::~HotkeyRecorder() {
    if (isRecording_) monitor_.stop();
}

QString HotkeyRecorder::displayString() const {
    return QString::fromStdString(hotkeyManager_.currentCombo().displayString(keyLayout_));
}

QString HotkeyRecorder::defaultDisplayString() const {
    return QString::fromStdString(KeyCombo::defaultCombo().displayString(keyLayout_));
}

bool HotkeyRecorder::mayBeRecordedAlone(int keyCode) {
    for (const int key : kKeysRecordableAlone)
        if (key == keyCode) return true;
    return false;
}

void HotkeyRecorder::toggleRecording() {
    if (isRecording_)
        stopRecording();
    else
        startRecording();
}

void HotkeyRecorder::startRecording() {
    setRecording(true);
    hotkeyManager_.unregisterHotkey();
    monitor_.start([this](const desktop::MonitoredKey& key) { handleKeyDown(key); });
}

void HotkeyRecorder::stopRecording() {
    monitor_.stop();
    setRecording(false);
    if (hotkeyManager_.isEnabled()) hotkeyManager_.registerHotkey();
}

void HotkeyRecorder::resetToDefault() {
    stopRecording();
    hotkeyManager_.resetToDefault();
}

void HotkeyRecorder::handleKeyDown(const desktop::MonitoredKey& key) {
    if (key.keyCode == desktop::keycode::kEscape) {
        stopRecording();
        return;
    }
    // A key the desktop has no code for could never be grabbed again: it is swallowed like a
    // plain letter.
    if (key.keyCode < 0 || key.keyCode > kLargestKeyCode) return;
    const bool accepted = KeyCombo::hasRequiredModifier(key.flags) || mayBeRecordedAlone(key.keyCode);
    if (!accepted) return;
    hotkeyManager_.saveCombo(KeyCombo{static_cast<uint32_t>(key.keyCode),
                                      KeyCombo::carbonModifiersFrom(key.flags & kDeviceIndependentFlags)});
    stopRecording();
}

void HotkeyRecorder::setRecording(bool recording) {
    if (recording == isRecording_) return;
    isRecording_ = recording;
    emit isRecordingChanged();
}

}  // namespace sablix
