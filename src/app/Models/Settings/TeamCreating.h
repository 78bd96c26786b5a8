#pragma once
#include <optional>
#include <string>

#include <QCoro/QCoroTask>

namespace sablix {

// The team manager as the settings sheet sees it.
class TeamCreating {
public:
    virtual ~TeamCreating() = default;

    // Whether the signed-in user owns at least one of the loaded teams.
    virtual bool ownsATeam() const = 0;
    // Creates a team under this name, sent as given; the new team's identifier, or none when it
    // could not be created (the manager keeps its own error).
    virtual QCoro::Task<std::optional<std::string>> createTeam(std::string name, std::optional<std::string> description,
                                                               std::optional<std::string> iconEmoji) = 0;
    // Makes the team with this identifier the source of snippets.
    virtual void selectTeam(std::string teamId) = 0;
};

}  // namespace sablix
