#include "Accounts/AuthTokens.h"

#include "Accounts/AccountCoding.h"

namespace sablix {

AuthTokens AuthTokens::fromJson(const nlohmann::json& json) {
    using namespace accountCoding;
    requireObject(json, "token answer");
    AuthTokens tokens;
    tokens.accessToken = requiredString(json, "accessToken");
    tokens.refreshToken = requiredString(json, "refreshToken");
    tokens.expiresAt = requiredDate(json, "expiresAt");
    tokens.userId = requiredUuid(json, "userId");
    return tokens;
}

nlohmann::json AuthTokens::toJson() const {
    return {{"accessToken", accessToken},
            {"refreshToken", refreshToken},
            {"expiresAt", expiresAt.iso8601()},
            {"userId", userId.toString()}};
}

}  // namespace sablix
