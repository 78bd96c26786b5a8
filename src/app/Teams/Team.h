#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Teams/SubscriptionStatus.h"
#include "Teams/TeamRole.h"
#include "platform/Date.h"
#include "platform/Uuid.h"

namespace sablix {

// A team as the signed-in user sees it, with that user's own role in it.
struct Team {
    platform::Uuid id;
    std::string name;
    std::optional<std::string> description;
    std::optional<std::string> iconEmoji;
    platform::Date createdAt;
    std::string defaultPermission;  // carried as the backend writes it, never interpreted
    bool allowMemberInvites = false;
    int64_t seatsPurchased = 0;
    int64_t seatsUsed = 0;
    std::optional<std::string> planTier;
    SubscriptionStatus subscriptionStatus = SubscriptionStatus::active;
    TeamRole role = TeamRole::viewer;

    // Throws TeamCodingError.
    static Team fromJson(const nlohmann::json& json);
    // Empty optional fields are left out.
    nlohmann::json toJson() const;

    friend bool operator==(const Team&, const Team&) = default;
};

}  // namespace sablix
