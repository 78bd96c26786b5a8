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

QCoro::Task<std::optional<std::string>> LoggingTeamManager::createTeam(std::string, std::optional<std::string>,
                                                                       std::optional<std::string>) {
    logger_.notice("Team not created: teams are not available in this build");
    co_return std::nullopt;
}

void LoggingTeamManager::selectTeam(std::string) {
    logger_.notice("Team not selected: teams are not available in this build");
}

}  // namespace sablix
