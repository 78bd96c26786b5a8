#include "Accounts/AuthProvider.h"

namespace sablix {

std::string_view rawValue(AuthProvider provider) {
    switch (provider) {
    case AuthProvider::google: return "google";
    case AuthProvider::apple: return "apple";
    }
    return "google";
}

std::optional<AuthProvider> authProviderFromRaw(std::string_view raw) {
    for (auto provider : allAuthProviders())
        if (rawValue(provider) == raw) return provider;
    return std::nullopt;
}

const std::array<AuthProvider, 2>& allAuthProviders() {
    static constexpr std::array<AuthProvider, 2> all{AuthProvider::google, AuthProvider::apple};
    return all;
}

}  // namespace sablix
