#include "Shell/Updates/CheckForUpdatesViewModel.h"

namespace sablix {

CheckForUpdatesViewModel::CheckForUpdatesViewModel(Updater& updater, QObject* parent)
    : QObject(parent), updater_(updater) {
    // The updater's value now, then every change.
    setCanCheckForUpdates(updater_.canCheckForUpdates());
    connect(&updater_, &Updater::canCheckForUpdatesChanged, this, &CheckForUpdatesViewModel::setCanCheckForUpdates);
    connect(&updater_, &Updater::checkFinished, this, &CheckForUpdatesViewModel::checkFinished);
    connect(&updater_, &Updater::downloadNotOpened, this,
            [this](const QString& downloadURL) { setMessage(QString::fromUtf8(kNoBrowserMessage), downloadURL); });
}

void CheckForUpdatesViewModel::checkFinished(Updater::CheckResult result, bool userInitiated,
                                             const QString& failureReason) {
    if (!userInitiated) return;
    switch (result) {
    case Updater::CheckResult::updateAvailable: return;
    case Updater::CheckResult::upToDate: return setMessage(QString::fromUtf8(kUpToDateMessage));
    case Updater::CheckResult::failed: return setMessage(QString::fromUtf8(kFailedMessagePrefix) + failureReason);
    }
}

void CheckForUpdatesViewModel::dismissMessage() { setMessage({}); }

void CheckForUpdatesViewModel::setMessage(const QString& message, const QString& downloadAddress) {
    if (message == message_ && downloadAddress == downloadAddress_) return;
    message_ = message;
    downloadAddress_ = downloadAddress;
    emit messageChanged();
}

void CheckForUpdatesViewModel::checkForUpdates() {
    if (canCheckForUpdates_) updater_.checkForUpdates();
}

void CheckForUpdatesViewModel::setCanCheckForUpdates(bool canCheck) {
    if (canCheck == canCheckForUpdates_) return;
    canCheckForUpdates_ = canCheck;
    emit canCheckForUpdatesChanged();
}

}  // namespace sablix
