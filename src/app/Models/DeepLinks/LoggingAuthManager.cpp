#include "Models/DeepLinks/LoggingAuthManager.h"

#include "Models/DeepLinks/InvitationToken.h"

namespace sablix {

QCoro::Task<> LoggingAuthManager::handleOAuthCallback(QUrl url) {
    logger_.notice("Sign-in callback received, but sign-in is not available in this build (%s)",
                   url.path().toUtf8().constData());
    co_return;
}

void LoggingAuthManager::setPendingInvitationToken(std::string token) {
    if (!InvitationToken::isAcceptable(token)) {
        logger_.error("Pending invitation refused: the token is not a plain path segment");
        return;
    }
    pendingInvitationToken_ = std::move(token);
    logger_.notice("Invitation kept until sign-in");
}

}  // namespace sablix
