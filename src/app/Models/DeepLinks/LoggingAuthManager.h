#pragma once
#include <optional>
#include <string>

#include "Models/DeepLinks/AuthManaging.h"
#include "platform/Log.h"

namespace sablix {

// Stands in for the account manager until sign-in exists: never signed in, logs the callbacks it
// is handed and keeps the pending invitation.
class LoggingAuthManager final : public AuthManaging {
public:
    QCoro::Task<> handleOAuthCallback(QUrl url) override;
    bool isAuthenticated() const override { return false; }
    void setPendingInvitationToken(std::string token) override;

    const std::optional<std::string>& pendingInvitationToken() const { return pendingInvitationToken_; }

private:
    std::optional<std::string> pendingInvitationToken_;
    platform::Log logger_ = platform::appLog("AuthManager");
};

}  // namespace sablix
