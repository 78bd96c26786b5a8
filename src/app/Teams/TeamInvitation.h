#pragma once
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Date.h"

namespace sablix {

// An invitation the selected team has sent. Its role is plain text: any text decodes.
struct TeamInvitation {
    std::string id;
    std::string email;
    std::string role;
    std::optional<std::string> token;
    platform::Date expiresAt;
    platform::Date createdAt;

    // Throws TeamCodingError.
    static TeamInvitation fromJson(const nlohmann::json& json);
    nlohmann::json toJson() const;

    friend bool operator==(const TeamInvitation&, const TeamInvitation&) = default;
};

}  // namespace sablix
