#pragma once
#include <array>
#include <optional>
#include <string_view>

namespace sablix {

// Who vouched for the account at sign-in.
enum class AuthProvider { google, apple };

std::string_view rawValue(AuthProvider provider);
std::optional<AuthProvider> authProviderFromRaw(std::string_view raw);
const std::array<AuthProvider, 2>& allAuthProviders();

}  // namespace sablix
