#include "Shell/Updates/Updater.h"

#include <QPointer>

#include "Shell/Updates/Appcast.h"
#include "Shell/Updates/UpdateChecker.h"
#include "Shell/Updates/VersionComparison.h"
#include "posix/LogText.h"

namespace sablix {

Updater::Updater(APIClient& client, desktop::Workspace& workspace, QUrl appcastURL,
                 std::optional<std::string> appVersion, QObject* parent)
    : QObject(parent),
      requests_(client, nullptr, this),
      workspace_(workspace),
      appcastURL_(std::move(appcastURL)),
      appVersion_(appVersion.value_or(UpdateChecker::kUnknownAppVersion)),
      allowsPlainHttp_(client.environment().kind() == AppEnvironment::Kind::development) {
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

bool Updater::isWebAddress(const std::string& address) const {
    const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) return false;
    return url.scheme() == QLatin1String("https") || (allowsPlainHttp_ && url.scheme() == QLatin1String("http"));
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
    const auto response = co_await requests_.send(
        appcastURL_, APIRequest("GET", std::nullopt, std::nullopt, kDefaultRequestTimeout, Appcast::kMaxFeedBytes),
        AcceptedStatus::success());
    if (!self) co_return CheckResult::failed;
    setChecking(false);

    CheckResult result = CheckResult::failed;
    std::string failureReason;
    if (!response) {
        failureReason = response.error().message;
        logger_.error("Update check failed: %s", posix::escapedForLog(failureReason).c_str());
    } else if (const auto release = Appcast::newestRelease(response.value().body); !release) {
        failureReason = kUnreadableFeedReason;
        logger_.error("Update check failed: %s", failureReason.c_str());
    } else if (!isNewerVersion(release->version, appVersion_)) {
        result = CheckResult::upToDate;
    } else if (!release->downloadURL.empty() && !isWebAddress(release->downloadURL)) {
        // Only the scheme: the rest of the address is the feed's to choose, and may be anything.
        const auto scheme = QUrl(QString::fromStdString(release->downloadURL)).scheme().toStdString();
        logger_.error("Refused the download address of version %s: its scheme is \"%s\"",
                      posix::escapedForLog(release->version).c_str(), posix::escapedForLog(scheme).c_str());
        failureReason = kNotWebAddressMessage;
        if (userInitiated) emit downloadRefused(QString::fromUtf8(kNotWebAddressMessage));
    } else {
        result = CheckResult::updateAvailable;
        const std::string address = posix::escapedForLog(release->downloadURL);
        logger_.info("Version %s is available at %s", posix::escapedForLog(release->version).c_str(), address.c_str());
        emit updateFound(QString::fromStdString(release->version), QString::fromStdString(release->downloadURL));
        if (userInitiated && !release->downloadURL.empty())
            workspace_.openURLAndReport(release->downloadURL, [self, address, url = release->downloadURL](bool opened) {
                if (opened || !self) return;
                self->logger_.error("Could not open %s", address.c_str());
                emit self->downloadNotOpened(QString::fromStdString(url));
            });
    }
    emit checkFinished(result, userInitiated, QString::fromStdString(failureReason));
    co_return result;
}

}  // namespace sablix
