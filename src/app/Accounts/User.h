#pragma once
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Accounts/AuthProvider.h"
#include "platform/Date.h"
#include "platform/Uuid.h"

namespace sablix {

// The signed-in user, as the backend's profile answer and the stored copy give it.
struct User {
    platform::Uuid id;
    std::string email;
    std::string displayName;
    std::optional<std::string> avatarURL;
    AuthProvider authProvider = AuthProvider::google;
    platform::Date createdAt;

    // Throws AccountCodingError.
    static User fromJson(const nlohmann::json& json);
    // A missing avatarURL is left out.
    nlohmann::json toJson() const;

    friend bool operator==(const User&, const User&) = default;
};

}  // namespace sablix
