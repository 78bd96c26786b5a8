#pragma once
#include <string>

#include <QCoro/QCoroTask>

namespace sablix {

// The team manager as the link handler sees it.
class TeamManaging {
public:
    virtual ~TeamManaging() = default;

    // True when the backend accepted the invitation; the manager keeps its own error otherwise.
    virtual QCoro::Task<bool> acceptInvitation(std::string token) = 0;
    virtual QCoro::Task<> fetchTeams() = 0;
};

}  // namespace sablix
