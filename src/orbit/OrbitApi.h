#pragma once
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbit/HttpSession.h"
#include "orbit/Models/OrbitEvent.h"
#include "orbit/OrbitConfig.h"
#include "orbit/OrbitUploadInfo.h"
#include "orbit/Utils/Clock.h"

namespace orbit {

// The client's one way to the analytics service: gzipped uploads of events, replay snapshots and
// log batches, and the feature-flag and remote-configuration requests. It keeps no state besides
// its configuration and session, never retries, and never throws: every outcome reaches the
// completion (and a debug log line). Completions run once: on the calling thread before the call
// returns when no request could be made, otherwise later on the session's thread. Any thread may
// call any operation.
class OrbitApi {
public:
    using UploadCompletion = std::function<void(OrbitUploadInfo)>;
    using JSONCompletion = std::function<void(std::optional<nlohmann::json> object, std::optional<OrbitError>)>;
    using Events = std::vector<std::shared_ptr<OrbitEvent>>;

    // A request ends when no byte has moved for this long (HttpRequest::idleTimeout).
    static constexpr std::chrono::milliseconds defaultTimeout{10'000};
    // Every request follows the service's host when it moves to another origin (never from https
    // to http, which no rule allows), without credentials.
    static constexpr HttpRequest::Redirects redirects = HttpRequest::Redirects::anyOrigin;

    static constexpr const char* usIngestionHost = "https://us.ingest.orbit-analytics.sablix.app";
    static constexpr const char* usAssetsHost = "https://us-assets.orbit-analytics.sablix.app";
    static constexpr const char* euIngestionHost = "https://eu.ingest.orbit-analytics.sablix.app";
    static constexpr const char* euAssetsHost = "https://eu-assets.orbit-analytics.sablix.app";

    // timeout replaces the time-out of every request only for tests.
    explicit OrbitApi(std::shared_ptr<OrbitConfig> config, Now now = systemNow,
                      std::chrono::milliseconds timeout = defaultTimeout);

    // The GET of the remote configuration, or nothing when no URL can be formed.
    std::optional<HttpRequest> getRemoteConfigRequest() const;

    void batch(const Events& events, UploadCompletion completion);
    // Sets every event's api key to the project token first, in place.
    void snapshot(const Events& events, UploadCompletion completion);
    // The payload is the JSON text the logs payload builder writes.
    void logs(const std::string& payload, UploadCompletion completion);
    void flags(const std::string& distinctId, const std::optional<std::string>& anonymousId,
               const std::optional<std::string>& deviceId, const std::map<std::string, std::string>& groups,
               const nlohmann::json& personProperties,
               const std::optional<std::map<std::string, nlohmann::json>>& groupProperties, JSONCompletion completion);
    void remoteConfig(JSONCompletion completion);

private:
    using QueryItems = std::vector<std::pair<std::string, std::string>>;

    std::optional<std::string> getEndpointURL(std::string_view endpoint, const QueryItems& queryItems,
                                              const std::string& relativeTo) const;
    HttpRequest getURLRequest(std::string url, bool gzipped) const;
    void upload(const std::string& name, const std::string& url, const nlohmann::json& body,
                UploadCompletion completion);
    void uploadText(const std::string& name, const std::string& url, const std::string& body,
                    UploadCompletion completion);

    const std::shared_ptr<OrbitConfig> config_;
    const Now now_;
    const std::chrono::milliseconds defaultTimeout_;
    HttpSession session_;
};

}  // namespace orbit
