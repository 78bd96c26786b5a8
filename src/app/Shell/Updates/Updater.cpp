#include "Shell/Updates/Updater.h"

#include <QPointer>

#include "Shell/Updates/Appcast.h"
#include "Shell/Updates/UpdateChecker.h"
#include "Shell/Updates/VersionComparison.h"

namespace sablix {

Updater::Updater(APIClient& client, desktop::Workspace& workspace, QUrl appcastURL,
                 std::optional<std::string> appVersion, QObject* parent)
    : QObject(parent),
      requests_(client, nullptr, this),
      workspace_(workspace),
      appcastURL_(std::move(appcastURL)),
      appVersion_(appVersion.value_or(UpdateChecker::kUnknownAppVersion)) {
    timer_.setSingleShot(false);
    connect(&timer_, &QTimer::timeout, this, [this] {
        // A check still under way (the user's) covers this round.
        if (!checking_) check(false);
    });
}

void Updater::setAutomaticallyChecksForUpdates(bool automatic) {
    automatic_ = automatic;
    armTimer();
}

void Updater::setUpdateCheckInterval(std::chrono::seconds interval) {
    interval_ = std::max(interval, std::chrono::seconds(1));
    armTimer();
}

void Updater::startUpdater() {
    if (started_) return;
    started_ = true;
    armTimer();
    emit canCheckForUpdatesChanged(canCheckForUpdates());
}

void Updater::armTimer() {
    if (!started_ || !automatic_) return timer_.stop();
    timer_.start(std::chrono::duration_cast<std::chrono::milliseconds>(interval_));
}

void Updater::checkForUpdates() {
    if (!canCheckForUpdates()) return;
    check(true);
}

void Updater::setChecking(bool checking) {
    const bool could = canCheckForUpdates();
    checking_ = checking;
    if (canCheckForUpdates() != could) emit canCheckForUpdatesChanged(canCheckForUpdates());
}

QCoro::Task<Updater::CheckResult> Updater::check(bool userInitiated) {
    // One check at a time; the one under way answers for both.
    if (checking_) co_return CheckResult::failed;
    QPointer<Updater> self(this);
    setChecking(true);
    const auto response = co_await requests_.send(appcastURL_, APIRequest(), AcceptedStatus::success());
    if (!self) co_return CheckResult::failed;
    setChecking(false);

    CheckResult result = CheckResult::failed;
    std::string failureReason;
    if (!response) {
        failureReason = response.error().message;
        logger_.error("Update check failed: %s", failureReason.c_str());
    } else if (const auto release = Appcast::newestRelease(response.value().body); !release) {
        failureReason = kUnreadableFeedReason;
        logger_.error("Update check failed: %s", failureReason.c_str());
    } else if (!isNewerVersion(release->version, appVersion_)) {
        result = CheckResult::upToDate;
    } else {
        result = CheckResult::updateAvailable;
        logger_.info("Version %s is available at %s", release->version.c_str(), release->downloadURL.c_str());
        emit updateFound(QString::fromStdString(release->version), QString::fromStdString(release->downloadURL));
        if (userInitiated && !release->downloadURL.empty() && !workspace_.openURL(release->downloadURL))
            logger_.error("Could not open %s", release->downloadURL.c_str());
    }
    emit checkFinished(result, userInitiated, QString::fromStdString(failureReason));
    co_return result;
}

}  // namespace sablix
