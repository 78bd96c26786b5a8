#pragma once
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Date.h"

namespace sablix {

// An invitation addressed to the signed-in user. The role and the team id are plain text.
struct PendingInvitation {
    std::string id;
    std::string token;  // what accepting it sends
    std::string role;
    std::string teamId;
    std::string teamName;
    std::optional<std::string> teamIcon;
    platform::Date expiresAt;
    platform::Date createdAt;

    // Throws TeamCodingError.
    static PendingInvitation fromJson(const nlohmann::json& json);
    nlohmann::json toJson() const;

    friend bool operator==(const PendingInvitation&, const PendingInvitation&) = default;
};

}  // namespace sablix
