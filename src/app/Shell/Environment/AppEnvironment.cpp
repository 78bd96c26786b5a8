#include "Shell/Environment/AppEnvironment.h"

#include "platform/Log.h"

namespace sablix {
namespace {

constexpr const char* kProductionBaseURL = "https://api.sablix.app";
constexpr const char* kTestBaseURL = "https://api-test.sablix.app";
constexpr const char* kDevelopmentBaseURL = "http://localhost:3000";
constexpr const char* kProductionAppcastURL = "https://sablix.app/appcast.xml";
constexpr const char* kTestAppcastURL = "https://test.sablix.app/appcast.xml";
constexpr const char* kDevelopmentAppcastURL = "http://localhost:3000/appcast.xml";
constexpr const char* kProductionWebsiteURL = "https://sablix.app";
constexpr const char* kTestWebsiteURL = "https://test.sablix.app";
constexpr const char* kDevelopmentWebsiteURL = "http://localhost:3000";
constexpr const char* kOrbitAPIKey = "phc_Vb7QmR2xTz9LkW4pHs6NdJ3gYc8FaU5eKo1BiXq0Ztwr";
constexpr const char* kOrbitHost = "https://us.ingest.orbit-analytics.sablix.app";

bool isUsable(const QUrl& url) { return url.isValid() && !url.scheme().isEmpty() && !url.host().isEmpty(); }

}  // namespace

AppEnvironment::AppEnvironment(Kind kind, const platform::Defaults* defaults) : kind_(kind), defaults_(defaults) {}

std::string AppEnvironment::apiBaseURL() const {
    switch (kind_) {
    case Kind::production: return kProductionBaseURL;
    case Kind::test: return kTestBaseURL;
    case Kind::development: return developmentOverride(kBaseURLOverrideKey).value_or(kDevelopmentBaseURL);
    }
    return kProductionBaseURL;
}

std::optional<std::string> AppEnvironment::developmentOverride(const char* key) const {
    if (kind_ != Kind::development || !defaults_) return std::nullopt;
    return defaults_->string(key);
}

std::string AppEnvironment::displayName() const {
    switch (kind_) {
    case Kind::production: return "Production";
    case Kind::test: return "Test";
    case Kind::development: return "Development";
    }
    return {};
}

double AppEnvironment::syncPollingInterval() const { return kind_ == Kind::development ? 15.0 : 30.0; }

double AppEnvironment::syncDebounceInterval() const { return kind_ == Kind::production ? 2.0 : 0.5; }

std::string AppEnvironment::orbitAPIKey() const { return kOrbitAPIKey; }

std::string AppEnvironment::orbitHost() const {
    return developmentOverride(kOrbitHostOverrideKey).value_or(kOrbitHost);
}

QUrl AppEnvironment::url(const APIEndpoint& endpoint) const {
    const std::string path = endpoint.path();
    QUrl url(QString::fromStdString(apiBaseURL() + path), QUrl::StrictMode);
    if (isUsable(url)) return url;
    // Only a developer's override can get here; a request to the local server fails visibly
    // instead of going nowhere.
    platform::appLog("Environment").error("Base URL override does not form a URL; using %s", kDevelopmentBaseURL);
    return QUrl(QString::fromStdString(kDevelopmentBaseURL + path));
}

QUrl AppEnvironment::appcastURL() const {
    switch (kind_) {
    case Kind::production: return QUrl(kProductionAppcastURL);
    case Kind::test: return QUrl(kTestAppcastURL);
    case Kind::development: break;
    }
    if (auto override = developmentOverride(kAppcastURLOverrideKey)) {
        QUrl url(QString::fromStdString(*override), QUrl::StrictMode);
        if (isUsable(url)) return url;
        platform::appLog("Environment").error("Appcast URL override is not a URL; using %s", kDevelopmentAppcastURL);
    }
    return QUrl(kDevelopmentAppcastURL);
}

std::string AppEnvironment::websiteBaseURL() const {
    switch (kind_) {
    case Kind::production: return kProductionWebsiteURL;
    case Kind::test: return kTestWebsiteURL;
    case Kind::development: return developmentOverride(kWebsiteBaseURLOverrideKey).value_or(kDevelopmentWebsiteURL);
    }
    return kProductionWebsiteURL;
}

}  // namespace sablix
