#include "Teams/TeamInvitation.h"

#include "Teams/TeamCoding.h"

namespace sablix {

TeamInvitation TeamInvitation::fromJson(const nlohmann::json& json) {
    using namespace teamCoding;
    requireObject(json, "team invitation");
    TeamInvitation invitation;
    invitation.id = requiredString(json, "id");
    invitation.email = requiredString(json, "email");
    invitation.role = requiredString(json, "role");
    invitation.token = optionalString(json, "token");
    invitation.expiresAt = requiredDate(json, "expiresAt");
    invitation.createdAt = requiredDate(json, "createdAt");
    return invitation;
}

nlohmann::json TeamInvitation::toJson() const {
    nlohmann::json json{{"id", id},
                        {"email", email},
                        {"role", role},
                        {"expiresAt", expiresAt.iso8601()},
                        {"createdAt", createdAt.iso8601()}};
    if (token) json["token"] = *token;
    return json;
}

}  // namespace sablix
