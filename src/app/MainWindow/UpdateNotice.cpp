#include "MainWindow/UpdateNotice.h"

#include "Shell/Updates/UpdateChecker.h"

namespace sablix {

UpdateNotice::UpdateNotice(UpdateChecker& checker, Updater& updater, QObject* parent)
    : QObject(parent), checker_(checker), updater_(updater) {
    connect(&checker_, &UpdateChecker::availableVersionChanged, this, &UpdateNotice::changed);
    connect(&checker_, &UpdateChecker::hasUpdateChanged, this, &UpdateNotice::changed);
    connect(&checker_, &UpdateChecker::dismissedChanged, this, &UpdateNotice::changed);
    connect(&updater_, &Updater::downloadRefused, this, &UpdateNotice::showMessage);
    connect(&updater_, &Updater::checkFinished, this, &UpdateNotice::checkFinished);
}

bool UpdateNotice::shown() const {
    return !upToDate_ && checker_.hasUpdate() && checker_.availableVersion().has_value();
}

QString UpdateNotice::text() const {
    if (!message_.isEmpty()) return message_;
    return "Sablix " + checker_.availableVersionText() + " is available";
}

void UpdateNotice::showMessage(const QString& message) {
    if (message == message_) return;
    message_ = message;
    emit changed();
}

void UpdateNotice::checkFinished(Updater::CheckResult result) {
    if (result == Updater::CheckResult::failed) return;
    const bool upToDate = result == Updater::CheckResult::upToDate;
    if (upToDate == upToDate_ && message_.isEmpty()) return;
    upToDate_ = upToDate;
    message_.clear();
    emit changed();
}

void UpdateNotice::update() {
    showMessage({});
    updater_.checkForUpdates();
}

void UpdateNotice::dismiss() { checker_.setDismissed(true); }

}  // namespace sablix
