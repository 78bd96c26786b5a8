#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Teams/PendingInvitation.h"
#include "Teams/Team.h"
#include "Teams/TeamCoding.h"
#include "Teams/TeamInvitation.h"
#include "Teams/TeamMember.h"

using nlohmann::json;

namespace sablix {
namespace {

// A team as the backend sends it, merged with patch (a null there removes the key).
json team(const json& patch = json::object()) {
    json record = json::parse(R"({"id": "3f0c9a4e-6b1d-4c2a-9e5f-1a2b3c4d5e6f", "name": "Support",
        "createdAt": "2026-01-31T09:30:00Z", "defaultPermission": "edit", "allowMemberInvites": true,
        "seatsPurchased": 5, "seatsUsed": 2, "subscriptionStatus": "past_due", "role": "admin"})");
    record.merge_patch(patch);
    return record;
}

// "" when the record decodes, the failure otherwise.
template <class Record>
std::string failureOf(const json& record) {
    try {
        Record::fromJson(record);
        return "";
    } catch (const TeamCodingError& error) {
        return error.what();
    }
}

TEST(TeamRecordsTest, OnlyWellFormedRecordsDecode) {
    const Team decoded = Team::fromJson(team({{"description", nullptr}}));
    EXPECT_EQ(decoded.id.toString(), "3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F");
    EXPECT_EQ(decoded.subscriptionStatus, SubscriptionStatus::pastDue);
    EXPECT_EQ(Team::fromJson(decoded.toJson()), decoded);

    const std::string notToTheSecond = "\"createdAt\" is not an ISO 8601 date-time to the second";
    const std::vector<std::pair<json, std::string>> badTeams{
        {team({{"seatsUsed", nullptr}}), "\"seatsUsed\" is missing"},
        {team({{"seatsUsed", "2"}}), "\"seatsUsed\" is not an integer"},
        {team({{"seatsUsed", 2.5}}), "\"seatsUsed\" is not an integer"},
        {team({{"allowMemberInvites", "true"}}), "\"allowMemberInvites\" is not true or false"},
        {team({{"subscriptionStatus", "pastDue"}}), "\"subscriptionStatus\" has the unknown value \"pastDue\""},
        {team({{"role", "Admin"}}), "\"role\" has the unknown value \"Admin\""},
        {team({{"id", "team-7"}}), "\"id\" is not a UUID"},
        {team({{"createdAt", "2026-01-31T09:30:00.123Z"}}), notToTheSecond},
        {team({{"createdAt", "2026-01-31T09:30:00"}}), notToTheSecond},
        {team({{"createdAt", 1769851800}}), "\"createdAt\" is not a string"},
        {json::array({team()}), "the team is not a JSON object"},
    };
    for (const auto& [record, failure] : badTeams)
        EXPECT_EQ(failureOf<Team>(record), "The team data could not be read: " + failure) << record.dump();

    // A member's role is a role; the invitations carry their role and team id as plain text.
    const json invitation = json::parse(R"({"id": "i-1", "userId": "u-1", "email": "lee@example.com",
        "displayName": "Lee", "role": "guest", "joinedAt": "2026-01-31T09:30:00+02:00", "token": "tok",
        "teamId": "team-7", "teamName": "Sales", "expiresAt": "2026-02-07T09:30:00Z",
        "createdAt": "2026-01-31T09:30:00Z"})");
    EXPECT_EQ(failureOf<TeamMember>(invitation),
              "The team data could not be read: \"role\" has the unknown value \"guest\"");
    EXPECT_EQ(TeamInvitation::fromJson(invitation).role, "guest");
    EXPECT_EQ(PendingInvitation::fromJson(invitation).teamId, "team-7");
}

TEST(TeamRecordsTest, OnlyAdminsAndOwnersManageMembers) {
    std::vector<TeamRole> managers;
    for (TeamRole role : allTeamRoles())
        if (canManageMembers(role)) managers.push_back(role);
    EXPECT_EQ(managers, (std::vector<TeamRole>{TeamRole::admin, TeamRole::owner}));
}

}  // namespace
}  // namespace sablix
