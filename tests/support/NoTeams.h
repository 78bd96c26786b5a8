#pragma once
#include <string>

#include <QCoro/QCoroTask>

#include "Shell/DeepLinks/TeamManaging.h"

namespace testsupport {

// A team service that accepts no invitation and has no teams, for tests of what signs in.
class NoTeams final : public sablix::TeamManaging {
public:
    QCoro::Task<bool> acceptInvitation(std::string) override { co_return false; }
    QCoro::Task<> fetchTeams() override { co_return; }
};

}  // namespace testsupport
