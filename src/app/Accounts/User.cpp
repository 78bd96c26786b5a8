#include "Accounts/User.h"

#include "Accounts/AccountCoding.h"

namespace sablix {

User User::fromJson(const nlohmann::json& json) {
    using namespace accountCoding;
    requireObject(json, "user");
    User user;
    user.id = requiredUuid(json, "id");
    user.email = requiredString(json, "email");
    user.displayName = requiredString(json, "displayName");
    user.avatarURL = optionalString(json, "avatarURL");
    const std::string provider = requiredString(json, "authProvider");
    const auto known = authProviderFromRaw(provider);
    if (!known) throw AccountCodingError("\"authProvider\" is not a known provider");
    user.authProvider = *known;
    user.createdAt = requiredDate(json, "createdAt");
    return user;
}

nlohmann::json User::toJson() const {
    nlohmann::json json{{"id", id.toString()},
                        {"email", email},
                        {"displayName", displayName},
                        {"authProvider", rawValue(authProvider)},
                        {"createdAt", createdAt.iso8601()}};
    if (avatarURL) json["avatarURL"] = *avatarURL;
    return json;
}

}  // namespace sablix
