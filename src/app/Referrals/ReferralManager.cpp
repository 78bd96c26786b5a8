#include "Referrals/ReferralManager.h"

#include <QPointer>
#include <QString>

#include "Accounts/AuthError.h"
#include "Accounts/AuthManager.h"
#include "platform/TextRules.h"

namespace sablix {

ReferralManager::ReferralManager(AuthManager& auth, APIClient& client, AnalyticsTracking& analytics,
                                 std::chrono::milliseconds requestTimeout, QObject* parent)
    : QObject(parent), auth_(auth), client_(client), analytics_(analytics), requestTimeout_(requestTimeout) {}

std::string ReferralManager::normalizedCode(const std::string& code) {
    return QString::fromStdString(platform::text::trimmed(code)).toUpper().toStdString();
}

QCoro::Task<> ReferralManager::fetchReferralInfo() {
    if (!auth_.isAuthenticated()) co_return;
    setLoading(true);

    QPointer<ReferralManager> self(this);
    std::optional<APIResponse> response;
    try {
        std::string token = co_await auth_.getValidAccessToken();
        if (!self) co_return;
        const APIEndpoint endpoint = APIEndpoint::referralsMe();
        APIRequest request("GET", std::nullopt, std::move(token), requestTimeout_);
        response = co_await client_.send(endpoint, std::move(request));
        if (!self) co_return;
        if (response->status == 0) throw TransportError(response->error);
    } catch (const std::exception& error) {
        if (!self) co_return;
        logger_.error("Referral info error: %s", error.what());
        setErrorMessage(kLoadFailedMessage);
        setLoading(false);
        co_return;
    }

    if (response->status != 200) {
        logger_.error("Failed to fetch referral info: %ld", static_cast<long>(response->status));
        setErrorMessage(kLoadFailedMessage);
    } else {
        try {
            const auto body = response->json();
            if (!body) throw ReferralCodingError("the referral answer is not JSON");
            setInfo(ReferralInfo::fromJson(*body));
            setErrorMessage(std::nullopt);
        } catch (const ReferralCodingError& error) {
            logger_.error("Referral info error: %s", error.what());
            setErrorMessage(kLoadFailedMessage);
        }
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
    APIResponse response;
    try {
        std::string token = co_await auth_.getValidAccessToken();
        if (!self) co_return false;
        const APIEndpoint endpoint = APIEndpoint::referralsApply();
        APIRequest request("POST", nlohmann::json{{"code", normalized}}, std::move(token), requestTimeout_);
        response = co_await client_.send(endpoint, std::move(request));
        if (!self) co_return false;
        if (response.status == 0) throw TransportError(response.error);
    } catch (const std::exception& error) {
        if (!self) co_return false;
        logger_.error("Apply code error: %s", error.what());
        setApplyState(ApplyState::failed(kApplyFailedMessage));
        co_return false;
    }

    if (response.status != 200) {
        const auto body = response.json();
        const bool hasText = body && body->is_object() && body->contains("error") && (*body)["error"].is_string();
        setApplyState(ApplyState::failed(hasText ? (*body)["error"].get<std::string>() : kApplyFailedMessage));
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
