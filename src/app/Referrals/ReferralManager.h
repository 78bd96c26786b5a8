#pragma once
#include <chrono>
#include <optional>
#include <string>

#include <QObject>
#include <QCoro/QCoroTask>

#include "Analytics/AnalyticsTracking.h"
#include "Networking/APIClient.h"
#include "Networking/RequestStep.h"
#include "Referrals/ReferralInfo.h"
#include "platform/Log.h"

namespace sablix {

class AuthManager;

// The client of the backend's referral endpoints and the state the referrals section shows: the
// user's own code and counters, and the outcome of applying a friend's code. Lives on the main
// thread; nothing is stored, and overlapping calls are not merged (the last to finish wins).
// Every failure ends in the published state, never in an exception.
class ReferralManager : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kLoadFailedMessage = "Could not load referral info.";
    static constexpr const char* kEmptyCodeMessage = "Enter a referral code first.";
    static constexpr const char* kApplyFailedMessage = "Could not apply code. Please try again.";

    struct ApplyState {
        enum class Kind { idle, applying, applied, failed };

        static ApplyState idle() { return ApplyState(Kind::idle); }
        static ApplyState applying() { return ApplyState(Kind::applying); }
        static ApplyState applied() { return ApplyState(Kind::applied); }
        static ApplyState failed(std::string message) { return ApplyState(Kind::failed, std::move(message)); }

        Kind kind;
        std::string message;  // of failed; empty otherwise

        friend bool operator==(const ApplyState&, const ApplyState&) = default;

    private:
        explicit ApplyState(Kind kind, std::string message = {}) : kind(kind), message(std::move(message)) {}
    };

    // requestTimeout bounds each backend request (tests shorten it).
    ReferralManager(AuthManager& auth, APIClient& client, AnalyticsTracking& analytics,
                    std::chrono::milliseconds requestTimeout = kDefaultRequestTimeout, QObject* parent = nullptr);

    // Loads the user's referral information; does nothing while signed out. A failed load keeps
    // the information loaded before.
    QCoro::Task<> fetchReferralInfo();
    // Applies a friend's code, trimmed and upper-cased; true when the backend took it, answered
    // only once the information has been loaded again.
    QCoro::Task<bool> applyCode(std::string code);

    const std::optional<ReferralInfo>& info() const { return info_; }
    bool isLoading() const { return isLoading_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    const ApplyState& applyState() const { return applyState_; }

    // The code as it is sent: without white space and line breaks at either end, in upper case.
    static std::string normalizedCode(const std::string& code);

signals:
    void infoChanged();
    void isLoadingChanged();
    void errorMessageChanged();
    void applyStateChanged();

private:
    void setInfo(ReferralInfo info);
    void setLoading(bool loading);
    void setErrorMessage(std::optional<std::string> message);
    void setApplyState(ApplyState state);

    AuthManager& auth_;
    APIClient& client_;
    AnalyticsTracking& analytics_;
    const std::chrono::milliseconds requestTimeout_;
    RequestStep requests_;

    std::optional<ReferralInfo> info_;
    bool isLoading_ = false;
    std::optional<std::string> errorMessage_;
    ApplyState applyState_ = ApplyState::idle();
    platform::Log logger_ = platform::appLog("ReferralManager");
};

}  // namespace sablix
