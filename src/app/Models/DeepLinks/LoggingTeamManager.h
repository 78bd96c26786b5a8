#pragma once
#include <string>

#include "Models/DeepLinks/TeamManaging.h"
#include "Models/Settings/TeamCreating.h"
#include "platform/Log.h"

namespace sablix {

// Stands in for the team manager until teams exist: accepts no invitation, loads no teams,
// creates none, and logs what it was asked.
class LoggingTeamManager final : public TeamManaging, public TeamCreating {
public:
    QCoro::Task<bool> acceptInvitation(std::string token) override;
    QCoro::Task<> fetchTeams() override;

    bool ownsATeam() const override { return false; }
    QCoro::Task<std::optional<std::string>> createTeam(std::string name, std::optional<std::string> description,
                                                       std::optional<std::string> iconEmoji) override;
    void selectTeam(std::string teamId) override;

private:
    platform::Log logger_ = platform::appLog("TeamManager");
};

}  // namespace sablix
