#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Date.h"
#include "platform/Uuid.h"

namespace sablix {

// The account's pair of tokens and the moment the access token stops being valid.
struct AuthTokens {
    std::string accessToken;
    std::string refreshToken;
    platform::Date expiresAt;
    platform::Uuid userId;

    // Throws AccountCodingError.
    static AuthTokens fromJson(const nlohmann::json& json);
    nlohmann::json toJson() const;

    friend bool operator==(const AuthTokens&, const AuthTokens&) = default;
};

}  // namespace sablix
