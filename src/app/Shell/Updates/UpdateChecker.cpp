#include "Shell/Updates/UpdateChecker.h"

#include <QPointer>

#include "Shell/Updates/Appcast.h"
#include "Shell/Updates/VersionComparison.h"
#include "posix/LogText.h"

namespace sablix {

UpdateChecker::UpdateChecker(APIClient& client, QUrl appcastURL, std::optional<std::string> appVersion, QObject* parent)
    : QObject(parent),
      requests_(client, nullptr, this),
      appcastURL_(std::move(appcastURL)),
      appVersion_(appVersion.value_or(kUnknownAppVersion)) {}

void UpdateChecker::checkForUpdate() {
    // The task finishes on its own; nobody waits for it.
    check();
}

QCoro::Task<> UpdateChecker::check() {
    QPointer<UpdateChecker> self(this);
    // The feed answers with its document whatever its status says; only a failed transfer stops here.
    const auto response = co_await requests_.send(
        appcastURL_, APIRequest("GET", std::nullopt, std::nullopt, kDefaultRequestTimeout, Appcast::kMaxFeedBytes),
        AcceptedStatus::any());
    if (!self) co_return;
    if (!response) {
        logger_.debug("Update check failed: %s", posix::escapedForLog(response.error().message).c_str());
        co_return;
    }
    auto version = Appcast::firstShortVersion(response.value().body);
    if (!version) co_return;
    const bool hadUpdate = hasUpdate();
    availableVersion_ = std::move(version);
    emit availableVersionChanged();
    if (hasUpdate() != hadUpdate) emit hasUpdateChanged();
}

void UpdateChecker::setDismissed(bool dismissed) {
    if (dismissed == dismissed_) return;
    const bool hadUpdate = hasUpdate();
    dismissed_ = dismissed;
    emit dismissedChanged();
    if (hasUpdate() != hadUpdate) emit hasUpdateChanged();
}

bool UpdateChecker::hasUpdate() const {
    if (!availableVersion_ || dismissed_) return false;
    return isNewerVersion(*availableVersion_, appVersion_);
}

}  // namespace sablix
