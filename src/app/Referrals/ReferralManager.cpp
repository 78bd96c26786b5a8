#include "Referrals/ReferralManager.h"

#include <QPointer>
#include <QString>

#include "Accounts/AuthManager.h"
#include "platform/TextRules.h"
#include "posix/LogText.h"

namespace sablix {

ReferralManager::ReferralManager(AuthManager& auth, APIClient& client, AnalyticsTracking& analytics,
                                 std::chrono::milliseconds requestTimeout, QObject* parent)
    : QObject(parent),
      auth_(auth),
      client_(client),
      analytics_(analytics),
      requestTimeout_(requestTimeout),
      requests_(
          client, [&auth] { return auth.getValidAccessToken(); }, this) {}

std::string ReferralManager::normalizedCode(const std::string& code) {
    return QString::fromStdString(platform::text::trimmed(code)).toUpper().toStdString();
}

QCoro::Task<> ReferralManager::fetchReferralInfo() {
    if (!auth_.isAuthenticated()) co_return;
    setLoading(true);

    QPointer<ReferralManager> self(this);
    auto info = co_await requests_.send(APIEndpoint::referralsMe(),
                                        APIRequest("GET", std::nullopt, std::nullopt, requestTimeout_),
                                        AcceptedStatus::exactly(200), [](const APIResponse& answer) {
                                            const auto body = answer.json();
                                            if (!body) throw ReferralCodingError("the referral answer is not JSON");
                                            return ReferralInfo::fromJson(*body);
                                        });
    if (!self) co_return;
    if (info) {
        setInfo(std::move(info).value());
        setErrorMessage(std::nullopt);
    } else {
        if (info.error().kind == RequestError::Kind::status)
            logger_.error("Failed to fetch referral info: %ld", static_cast<long>(info.error().status));
        else
            logger_.error("Referral info error: %s", posix::escapedForLog(info.error().message).c_str());
        setErrorMessage(kLoadFailedMessage);
    }
    setLoading(false);
}

QCoro::Task<bool> ReferralManager::applyCode(std::string code) {
    const std::string normalized = normalizedCode(code);
    if (normalized.empty()) {
        setApplyState(ApplyState::failed(kEmptyCodeMessage));
        co_return false;
    }
    setApplyState(ApplyState::applying());

    QPointer<ReferralManager> self(this);
    APIRequest request("POST", nlohmann::json{{"code", normalized}}, std::nullopt, requestTimeout_);
    const auto answer =
        co_await requests_.send(APIEndpoint::referralsApply(), std::move(request), AcceptedStatus::exactly(200));
    if (!self) co_return false;
    if (!answer) {
        const RequestError& error = answer.error();
        if (error.kind == RequestError::Kind::status) {
            setApplyState(ApplyState::failed(error.serverMessage.value_or(kApplyFailedMessage)));
        } else {
            logger_.error("Apply code error: %s", posix::escapedForLog(error.message).c_str());
            setApplyState(ApplyState::failed(kApplyFailedMessage));
        }
        co_return false;
    }

    setApplyState(ApplyState::applied());
    analytics_.track(AnalyticsEvent::referralCodeApplied);
    // The counters change with an accepted code.
    co_await fetchReferralInfo();
    co_return true;
}

void ReferralManager::setInfo(ReferralInfo info) {
    if (info_ == info) return;
    info_ = std::move(info);
    emit infoChanged();
}

void ReferralManager::setLoading(bool loading) {
    if (isLoading_ == loading) return;
    isLoading_ = loading;
    emit isLoadingChanged();
}

void ReferralManager::setErrorMessage(std::optional<std::string> message) {
    if (errorMessage_ == message) return;
    errorMessage_ = std::move(message);
    emit errorMessageChanged();
}

void ReferralManager::setApplyState(ApplyState state) {
    if (applyState_ == state) return;
    applyState_ = std::move(state);
    emit applyStateChanged();
}

}  // namespace sablix
