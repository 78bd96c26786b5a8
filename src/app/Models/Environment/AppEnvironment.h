#pragma once
#include <string>

#include <QUrl>

#include "Models/Environment/APIEndpoint.h"
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

    // The defaults store is read only in the development environment (for the base-URL
    // override); it must outlive the environment.
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

private:
    Kind kind_;
    const platform::Defaults* defaults_;
};

}  // namespace sablix
