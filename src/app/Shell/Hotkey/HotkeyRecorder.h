#pragma once
#include <QObject>
#include <QString>
#include <cstdint>

#include "desktop/KeyLayout.h"
#include "desktop/LocalKeyMonitor.h"

namespace sablix {

class HotkeyManager;

// Replaces the global hot key with the next combination the user presses in the application.
// While it records, the hot key is off, so pressing the current combination is recorded rather
// than acted on, and every key press goes to the recorder alone. Escape cancels; a press
// without Control, Option or Command is swallowed and recording goes on, unless the key may be
// recorded alone. Every way back to idle registers the hot key again when its switch is on.
// Lives on the main thread.
class HotkeyRecorder final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(QString displayString READ displayString NOTIFY displayStringChanged)
    Q_PROPERTY(QString defaultDisplayString READ defaultDisplayString CONSTANT)

public:
    HotkeyRecorder(HotkeyManager& hotkeyManager, desktop::LocalKeyMonitor& monitor, desktop::KeyLayout& keyLayout,
                   QObject* parent = nullptr);
    // Gives the keys back to the windows; registers nothing, since it goes only as the
    // application quits, after the hot key was removed.
    ~HotkeyRecorder() override;

    bool isRecording() const { return isRecording_; }
    // The combination in force, as "Ctrl+Space".
    QString displayString() const;
    QString defaultDisplayString() const;

    Q_INVOKABLE void toggleRecording();
    Q_INVOKABLE void startRecording();
    Q_INVOKABLE void stopRecording();
    // Stops recording and restores Control + Space.
    Q_INVOKABLE void resetToDefault();

    // Keys that make a hot key without Control, Option or Command: F13, F14 and F15, which no
    // application expects to type with. F1 to F12 are not among them: grabbed bare, they would
    // be taken from every other application.
    static bool mayBeRecordedAlone(int keyCode);

signals:
    void isRecordingChanged();
    void displayStringChanged();

private:
    void handleKeyDown(const desktop::MonitoredKey& key);
    void setRecording(bool recording);

    HotkeyManager& hotkeyManager_;
    desktop::LocalKeyMonitor& monitor_;
    desktop::KeyLayout& keyLayout_;
    bool isRecording_ = false;
};

}  // namespace sablix
