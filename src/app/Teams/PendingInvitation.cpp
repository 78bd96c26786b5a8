#include "Teams/PendingInvitation.h"

#include "Teams/TeamCoding.h"

namespace sablix {

PendingInvitation PendingInvitation::fromJson(const nlohmann::json& json) {
    using namespace teamCoding;
    requireObject(json, "pending invitation");
    PendingInvitation invitation;
    invitation.id = requiredString(json, "id");
    invitation.token = requiredString(json, "token");
    invitation.role = requiredString(json, "role");
    invitation.teamId = requiredString(json, "teamId");
    invitation.teamName = requiredString(json, "teamName");
    invitation.teamIcon = optionalString(json, "teamIcon");
    invitation.expiresAt = requiredDate(json, "expiresAt");
    invitation.createdAt = requiredDate(json, "createdAt");
    return invitation;
}

nlohmann::json PendingInvitation::toJson() const {
    nlohmann::json json{{"id", id},
                        {"token", token},
                        {"role", role},
                        {"teamId", teamId},
                        {"teamName", teamName},
                        {"expiresAt", expiresAt.iso8601()},
                        {"createdAt", createdAt.iso8601()}};
    if (teamIcon) json["teamIcon"] = *teamIcon;
    return json;
}

}  // namespace sablix
