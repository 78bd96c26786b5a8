#include "Teams/Team.h"

#include "Teams/TeamCoding.h"

namespace sablix {

Team Team::fromJson(const nlohmann::json& json) {
    using namespace teamCoding;
    requireObject(json, "team");
    Team team;
    team.id = requiredUuid(json, "id");
    team.name = requiredString(json, "name");
    team.description = optionalString(json, "description");
    team.iconEmoji = optionalString(json, "iconEmoji");
    team.createdAt = requiredDate(json, "createdAt");
    team.defaultPermission = requiredString(json, "defaultPermission");
    team.allowMemberInvites = requiredBool(json, "allowMemberInvites");
    team.seatsPurchased = requiredInteger(json, "seatsPurchased");
    team.seatsUsed = requiredInteger(json, "seatsUsed");
    team.planTier = optionalString(json, "planTier");
    team.subscriptionStatus = requiredEnum(json, "subscriptionStatus", subscriptionStatusFromRaw);
    team.role = requiredEnum(json, "role", teamRoleFromRaw);
    return team;
}

nlohmann::json Team::toJson() const {
    nlohmann::json json{{"id", id.toString()},
                        {"name", name},
                        {"createdAt", createdAt.iso8601()},
                        {"defaultPermission", defaultPermission},
                        {"allowMemberInvites", allowMemberInvites},
                        {"seatsPurchased", seatsPurchased},
                        {"seatsUsed", seatsUsed},
                        {"subscriptionStatus", rawValue(subscriptionStatus)},
                        {"role", rawValue(role)}};
    if (description) json["description"] = *description;
    if (iconEmoji) json["iconEmoji"] = *iconEmoji;
    if (planTier) json["planTier"] = *planTier;
    return json;
}

}  // namespace sablix
