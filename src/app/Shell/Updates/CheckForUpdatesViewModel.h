#pragma once
#include <QObject>
#include <QString>

#include "Shell/Updates/Updater.h"

namespace sablix {

// The "Check for Updates…" command as the menu shows it: enabled exactly while the updater can
// check, and asking the updater for a check when chosen. A check the user asked for that finds
// nothing newer, or fails, leaves a message for the window to show until it is dismissed; a newer
// release needs none, its download opens, unless no browser can be opened: then the message says
// so and carries the download's address.
class CheckForUpdatesViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString title READ title CONSTANT)
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
    // Empty while there is nothing to say.
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    // The download's address while no browser could be opened for it, for the user to open by hand.
    Q_PROPERTY(QString downloadAddress READ downloadAddress NOTIFY messageChanged)

public:
    static constexpr const char* kTitle = "Check for Updates…";
    static constexpr const char* kUpToDateMessage = "Sablix is up to date.";
    static constexpr const char* kFailedMessagePrefix = "Could not check for updates: ";
    static constexpr const char* kNoBrowserMessage =
        "No web browser could be opened. To download the update, open this address in your browser:";

    explicit CheckForUpdatesViewModel(Updater& updater, QObject* parent = nullptr);

    QString title() const { return QString::fromUtf8(kTitle); }
    bool canCheckForUpdates() const { return canCheckForUpdates_; }
    Q_INVOKABLE void checkForUpdates();
    QString message() const { return message_; }
    QString downloadAddress() const { return downloadAddress_; }
    Q_INVOKABLE void dismissMessage();

signals:
    void canCheckForUpdatesChanged();
    void messageChanged();

private:
    void setCanCheckForUpdates(bool canCheck);
    void checkFinished(Updater::CheckResult result, bool userInitiated, const QString& failureReason);
    void setMessage(const QString& message, const QString& downloadAddress = {});

    Updater& updater_;
    bool canCheckForUpdates_ = false;
    QString message_;
    QString downloadAddress_;
};

}  // namespace sablix
