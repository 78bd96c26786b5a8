#include "Models/Updates/CheckForUpdatesViewModel.h"

namespace sablix {

CheckForUpdatesViewModel::CheckForUpdatesViewModel(Updater& updater, QObject* parent)
    : QObject(parent), updater_(updater) {
    // The updater's value now, then every change.
    setCanCheckForUpdates(updater_.canCheckForUpdates());
    connect(&updater_, &Updater::canCheckForUpdatesChanged, this, &CheckForUpdatesViewModel::setCanCheckForUpdates);
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
