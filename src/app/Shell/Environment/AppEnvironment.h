#pragma once
#include <optional>
#include <string>

#include <QUrl>

#include "Shell/Environment/APIEndpoint.h"
#include "platform/Defaults.h"

namespace sablix {

// The backend the application talks to, fixed when the application is built, and the settings
// that depend on it.
class AppEnvironment {
public:
    enum class Kind { production, test, development };

    // The environment of this build.
    static constexpr Kind kBuildKind = Kind::production;
    static constexpr const char* kBaseURLOverrideKey = "API_BASE_URL_OVERRIDE";
    static constexpr const char* kAppcastURLOverrideKey = "APPCAST_URL_OVERRIDE";
    static constexpr const char* kWebsiteBaseURLOverrideKey = "WEBSITE_BASE_URL_OVERRIDE";
    static constexpr const char* kOrbitHostOverrideKey = "ORBIT_HOST_OVERRIDE";

    // The defaults store is read only in the development environment (for the base-URL and
    // appcast overrides); it must outlive the environment.
    explicit AppEnvironment(Kind kind = kBuildKind, const platform::Defaults* defaults = nullptr);

    Kind kind() const { return kind_; }
    std::string apiBaseURL() const;  // no trailing slash, except what an override brings
    bool isProduction() const { return kind_ == Kind::production; }
    std::string displayName() const;
    double syncPollingInterval() const;   // seconds
    double syncDebounceInterval() const;  // seconds
    std::string orbitAPIKey() const;
    std::string orbitHost() const;

    // The base URL followed directly by the endpoint's path. Always a valid URL: an override
    // that does not make one gives way to the local development server.
    QUrl url(const APIEndpoint& endpoint) const;

    // The update feed. In development a stored override replaces it; one that is not a URL
    // gives way to the local development server's feed.
    QUrl appcastURL() const;

    // The product's web site, which serves the template gallery; no trailing slash. In
    // development a stored override replaces it, used as it stands.
    std::string websiteBaseURL() const;

private:
    // The text stored under key in development, when there is one.
    std::optional<std::string> developmentOverride(const char* key) const;

    Kind kind_;
    const platform::Defaults* defaults_;
};

}  // namespace sablix
