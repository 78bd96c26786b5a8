#include "Models/DeepLinks/LoggingTeamManager.h"

#include "Models/DeepLinks/InvitationToken.h"

namespace sablix {

QCoro::Task<bool> LoggingTeamManager::acceptInvitation(std::string token) {
    if (!InvitationToken::isAcceptable(token))
        logger_.error("Invitation refused: the token is not a plain path segment");
    else
        logger_.notice("Invitation not accepted: teams are not available in this build");
    co_return false;
}

QCoro::Task<> LoggingTeamManager::fetchTeams() {
    logger_.notice("Teams not loaded: teams are not available in this build");
    co_return;
}

}  // namespace sablix
