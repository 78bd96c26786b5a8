#include "Teams/TeamMember.h"

#include "Teams/TeamCoding.h"

namespace sablix {

TeamMember TeamMember::fromJson(const nlohmann::json& json) {
    using namespace teamCoding;
    requireObject(json, "team member");
    TeamMember member;
    member.id = requiredString(json, "id");
    member.userId = requiredString(json, "userId");
    member.email = requiredString(json, "email");
    member.displayName = requiredString(json, "displayName");
    member.avatarUrl = optionalString(json, "avatarUrl");
    member.role = requiredEnum(json, "role", teamRoleFromRaw);
    member.joinedAt = requiredDate(json, "joinedAt");
    return member;
}

nlohmann::json TeamMember::toJson() const {
    nlohmann::json json{{"id", id},
                        {"userId", userId},
                        {"email", email},
                        {"displayName", displayName},
                        {"role", rawValue(role)},
                        {"joinedAt", joinedAt.iso8601()}};
    if (avatarUrl) json["avatarUrl"] = *avatarUrl;
    return json;
}

}  // namespace sablix
