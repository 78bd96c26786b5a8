#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Models/Teams/PendingInvitation.h"
#include "Models/Teams/Team.h"
#include "Models/Teams/TeamCoding.h"
#include "Models/Teams/TeamInvitation.h"
#include "Models/Teams/TeamMember.h"

using nlohmann::json;

namespace sablix {
namespace {

json team() {
    return {{"id", "3f0c9a4e-6b1d-4c2a-9e5f-1a2b3c4d5e6f"},
            {"name", "Support"},
            {"createdAt", "2026-01-31T09:30:00Z"},
            {"defaultPermission", "edit"},
            {"allowMemberInvites", true},
            {"seatsPurchased", 5},
            {"seatsUsed", 2},
            {"subscriptionStatus", "past_due"},
            {"role", "admin"}};
}

json member() {
    return {{"id", "m-1"},           {"userId", "user-1"}, {"email", "ilse@example.com"},
            {"displayName", "Ilse"}, {"role", "editor"},   {"joinedAt", "2026-01-31T09:30:00+02:00"}};
}

json with(json record, const std::string& key, json value) {
    if (value.is_discarded())
        record.erase(key);
    else
        record[key] = std::move(value);
    return record;
}

const json kRemoved = json::value_t::discarded;

// What a record decodes to: "" when it decodes, the failure otherwise.
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
    const Team decoded = Team::fromJson(with(with(team(), "description", nullptr), "planTier", kRemoved));
    EXPECT_EQ(decoded.id.toString(), "3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F");
    EXPECT_EQ(decoded.description, std::nullopt);
    EXPECT_EQ(decoded.subscriptionStatus, SubscriptionStatus::pastDue);
    EXPECT_EQ(decoded.createdAt.iso8601(), "2026-01-31T09:30:00Z");
    EXPECT_EQ(Team::fromJson(decoded.toJson()), decoded);

    const std::vector<std::pair<json, std::string>> badTeams{
        {with(team(), "seatsUsed", kRemoved), "\"seatsUsed\" is missing"},
        {with(team(), "seatsUsed", "2"), "\"seatsUsed\" is not an integer"},
        {with(team(), "seatsUsed", 2.5), "\"seatsUsed\" is not an integer"},
        {with(team(), "allowMemberInvites", "true"), "\"allowMemberInvites\" is not true or false"},
        {with(team(), "subscriptionStatus", "pastDue"), "\"subscriptionStatus\" has the unknown value \"pastDue\""},
        {with(team(), "role", "Admin"), "\"role\" has the unknown value \"Admin\""},
        {with(team(), "id", "team-7"), "\"id\" is not a UUID"},
        {with(team(), "createdAt", "2026-01-31T09:30:00.123Z"),
         "\"createdAt\" is not an ISO 8601 date-time to the second"},
        {with(team(), "createdAt", "2026-01-31T09:30:00"), "\"createdAt\" is not an ISO 8601 date-time to the second"},
        {with(team(), "createdAt", 1769851800), "\"createdAt\" is not a string"},
        {json::array({team()}), "the team is not a JSON object"},
    };
    for (const auto& [record, failure] : badTeams)
        EXPECT_EQ(failureOf<Team>(record), "The team data could not be read: " + failure) << record.dump();

    // The invitation records carry their role and team id as plain text; a member's role is a role.
    EXPECT_EQ(failureOf<TeamMember>(with(member(), "role", "guest")),
              "The team data could not be read: \"role\" has the unknown value \"guest\"");
    EXPECT_EQ(TeamMember::fromJson(with(member(), "avatarURL", "https://example.com/a.png")).avatarUrl, std::nullopt);
    EXPECT_EQ(TeamInvitation::fromJson({{"id", "i-1"},
                                        {"email", "lee@example.com"},
                                        {"role", "guest"},
                                        {"expiresAt", "2026-02-07T09:30:00Z"},
                                        {"createdAt", "2026-01-31T09:30:00Z"}})
                  .role,
              "guest");
    EXPECT_EQ(PendingInvitation::fromJson({{"id", "p-1"},
                                           {"token", "tok"},
                                           {"role", "viewer"},
                                           {"teamId", "team-7"},
                                           {"teamName", "Sales"},
                                           {"expiresAt", "2026-02-07T09:30:00Z"},
                                           {"createdAt", "2026-01-31T09:30:00Z"}})
                  .teamId,
              "team-7");

    // The one right the windows derive from a role.
    std::vector<TeamRole> managers;
    for (TeamRole role : allTeamRoles())
        if (canManageMembers(role)) managers.push_back(role);
    EXPECT_EQ(managers, (std::vector<TeamRole>{TeamRole::admin, TeamRole::owner}));
    EXPECT_LT(TeamRole::admin, TeamRole::owner);
}

}  // namespace
}  // namespace sablix
