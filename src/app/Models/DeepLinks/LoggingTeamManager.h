#pragma once
#include <string>

#include "Models/DeepLinks/TeamManaging.h"
#include "platform/Log.h"

namespace sablix {

// Stands in for the team manager until teams exist: accepts no invitation, loads no teams, and
// logs what it was asked.
class LoggingTeamManager final : public TeamManaging {
public:
    QCoro::Task<bool> acceptInvitation(std::string token) override;
    QCoro::Task<> fetchTeams() override;

private:
    platform::Log logger_ = platform::appLog("TeamManager");
};

}  // namespace sablix
