#pragma once
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Teams/TeamRole.h"
#include "platform/Date.h"

namespace sablix {

// One member of a team. The identifiers are kept as the backend writes them, not parsed.
struct TeamMember {
    std::string id;      // the membership
    std::string userId;  // the member's account; the member operations put it in their paths
    std::string email;
    std::string displayName;
    std::optional<std::string> avatarUrl;
    TeamRole role = TeamRole::viewer;
    platform::Date joinedAt;

    // Throws TeamCodingError.
    static TeamMember fromJson(const nlohmann::json& json);
    nlohmann::json toJson() const;

    friend bool operator==(const TeamMember&, const TeamMember&) = default;
};

}  // namespace sablix
