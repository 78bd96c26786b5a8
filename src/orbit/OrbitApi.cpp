#include "orbit/OrbitApi.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <source_location>

#include <curl/curl.h>

#include "orbit/OrbitVersion.h"
#include "orbit/Utils/Gzip.h"
#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/JSONUtils.h"
#include "orbit/Utils/OrbitAPIDateFormatter.h"

namespace orbit {
namespace {

constexpr const char* kContentType = "application/json; charset=utf-8";

// Owns one parsed URL of libcurl's URL API.
class Url {
public:
    Url() : handle_(curl_url()) {}
    ~Url() { curl_url_cleanup(handle_); }
    Url(const Url&) = delete;
    Url& operator=(const Url&) = delete;

    bool set(CURLUPart part, const char* value, unsigned flags = 0) {
        return handle_ && curl_url_set(handle_, part, value, flags) == CURLUE_OK;
    }
    std::optional<std::string> get(CURLUPart part) const {
        char* text = nullptr;
        if (!handle_ || curl_url_get(handle_, part, &text, 0) != CURLUE_OK) return std::nullopt;
        std::string result = text;
        curl_free(text);
        return result;
    }

private:
    CURLU* handle_;
};

std::string collapseSlashes(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (const char c : path)
        if (c != '/' || out.empty() || out.back() != '/') out.push_back(c);
    return out;
}

std::string percentEncoded(const std::string& text) {
    char* encoded = curl_easy_escape(nullptr, text.c_str(), static_cast<int>(text.size()));
    if (!encoded) return text;
    std::string result = encoded;
    curl_free(encoded);
    return result;
}

// The machine's time zone as a zone identifier such as "Europe/Berlin".
std::string currentTimeZoneIdentifier() {
    const auto fromPath = [](std::string path) -> std::optional<std::string> {
        const auto at = path.find("zoneinfo/");
        if (at == std::string::npos) return std::nullopt;
        return path.substr(at + 9);
    };
    if (const char* tz = std::getenv("TZ"); tz && *tz) {
        std::string value = *tz == ':' ? tz + 1 : tz;
        if (auto zone = fromPath(value)) return *zone;
        if (!value.empty()) return value;
    }
    std::error_code error;
    if (auto target = std::filesystem::read_symlink("/etc/localtime", error); !error)
        if (auto zone = fromPath(target.string())) return *zone;
    std::ifstream file("/etc/timezone");
    std::string line;
    if (std::getline(file, line) && !line.empty()) return line;
    return "UTC";
}

std::string printedBody(const std::optional<std::string>& data) {
    if (!data) return "";
    const auto decoded = fromJSONData(*data);
    return decoded ? decoded->dump() : "";
}

std::string sourcePosition(const std::source_location& location) {
    return std::filesystem::path(location.file_name()).filename().string() + ":" + std::to_string(location.line());
}

bool isSuccess(int64_t status) { return status >= 200 && status <= 299; }

// The debug lines of one JSON request: they differ in wording between the two. Plain text with
// nothing to destroy: the session's thread may still log one while the process exits, after
// the exit has destroyed the statics that have destructors.
struct JSONRequestMessages {
    const char* transportError;  // followed by the error
    const char* noData;
    const char* statusError;  // followed by status, body and "."
    const char* success;
    const char* parseError;  // followed by the error
};

void handleJSONResponse(const JSONRequestMessages& messages, const HttpResponse& response,
                        const OrbitApi::JSONCompletion& completion) {
    if (response.error) {
        hedgeLog(messages.transportError + response.error->description);
        return completion(std::nullopt, *response.error);
    }
    if (!response.data) {
        hedgeLog(messages.noData);
        return completion(std::nullopt, std::nullopt);
    }
    const int64_t status = response.statusCode.value_or(0);
    if (!isSuccess(status)) {
        const std::string message =
            messages.statusError + std::to_string(status) + ", body: " + printedBody(response.data) + ".";
        hedgeLog(message);
        const auto here = std::source_location::current();
        return completion(std::nullopt, InternalOrbitError{message + " (" + sourcePosition(here) + ")"});
    }
    hedgeLog(messages.success);
    std::string error;
    auto value = readJSON(*response.data, &error);
    if (!value) {
        hedgeLog(messages.parseError + error);
        return completion(std::nullopt, JSONParseError{error});
    }
    if (!value->is_object()) return completion(std::nullopt, std::nullopt);
    completion(std::move(value), std::nullopt);
}

void processUploadResponse(const std::string& endpointName, const HttpResponse& response,
                           const OrbitApi::UploadCompletion& completion) {
    if (response.error) {
        hedgeLog("Error calling the " + endpointName + " API: " + response.error->description + ".");
        return completion(OrbitUploadInfo{std::nullopt, *response.error});
    }
    if (!response.statusCode) {
        hedgeLog(endpointName + " API returned no HTTP response");
        return completion(OrbitUploadInfo{});
    }
    const int64_t status = *response.statusCode;
    if (isSuccess(status))
        hedgeLog(endpointName + " sent successfully.");
    else
        hedgeLog("Error sending to " + endpointName + " API: status: " + std::to_string(status) +
                 ", body: " + printedBody(response.data) + ".");
    completion(OrbitUploadInfo{status, std::nullopt});
}

std::map<std::string, std::string> sessionHeaders(const OrbitConfig& config) {
    std::map<std::string, std::string> headers;
    if (config.urlSessionConfiguration) headers = config.urlSessionConfiguration->additionalHeaders;
    const auto replace = [&headers](const std::string& name, std::string value) {
        std::erase_if(headers, [&](const auto& header) {
            return header.first.size() == name.size() &&
                   std::equal(name.begin(), name.end(), header.first.begin(),
                              [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
        });
        headers[name] = std::move(value);
    };
    replace("Content-Type", kContentType);
    replace("User-Agent", orbitSdkName() + "/" + orbitVersion());
    replace("Accept-Encoding", "gzip");
    return headers;
}

}  // namespace

OrbitApi::OrbitApi(std::shared_ptr<OrbitConfig> config, Now now, std::chrono::milliseconds timeout)
    : config_(std::move(config)), now_(std::move(now)), defaultTimeout_(timeout), session_(sessionHeaders(*config_)) {}

std::optional<std::string> OrbitApi::getEndpointURL(std::string_view endpoint, const QueryItems& queryItems,
                                                    const std::string& relativeTo) const {
    Url url;
    if (!url.set(CURLUPART_URL, relativeTo.c_str())) return std::nullopt;
    const std::string path = collapseSlashes(url.get(CURLUPART_PATH).value_or("") + "/" + std::string(endpoint));
    if (!url.set(CURLUPART_PATH, path.c_str())) return std::nullopt;
    url.set(CURLUPART_QUERY, nullptr);
    for (const auto& [name, value] : queryItems)
        if (!url.set(CURLUPART_QUERY, (name + "=" + value).c_str(), CURLU_APPENDQUERY | CURLU_URLENCODE))
            return std::nullopt;
    return url.get(CURLUPART_URL);
}

HttpRequest OrbitApi::getURLRequest(std::string url, bool gzipped) const {
    HttpRequest request;
    request.url = std::move(url);
    request.method = "POST";
    request.idleTimeout = defaultTimeout_;
    request.redirects = redirects;
    if (gzipped) request.headers.emplace_back("Content-Encoding", "gzip");
    return request;
}

std::optional<HttpRequest> OrbitApi::getRemoteConfigRequest() const {
    std::string base = config_->host;
    if (base == usIngestionHost)
        base = usAssetsHost;
    else if (base == euIngestionHost)
        base = euAssetsHost;

    Url url;
    if (!url.set(CURLUPART_URL, base.c_str())) return std::nullopt;
    std::string path = url.get(CURLUPART_PATH).value_or("");
    while (!path.empty() && path.back() == '/') path.pop_back();
    path += "/array/" + percentEncoded(config_->projectToken) + "/config";
    if (!url.set(CURLUPART_PATH, path.c_str())) return std::nullopt;
    auto text = url.get(CURLUPART_URL);
    if (!text) return std::nullopt;

    HttpRequest request;
    request.url = std::move(*text);
    request.method = "GET";
    request.idleTimeout = defaultTimeout_;
    request.redirects = redirects;
    return request;
}

void OrbitApi::upload(const std::string& name, const std::string& url, const nlohmann::json& body,
                      UploadCompletion completion) {
    const auto json = writeJSON(body);
    if (!json) {
        hedgeLog("Error parsing the " + name + " body");
        return completion(OrbitUploadInfo{});
    }
    uploadText(name, url, *json, std::move(completion));
}

void OrbitApi::uploadText(const std::string& name, const std::string& url, const std::string& body,
                          UploadCompletion completion) {
    auto request = getURLRequest(url, true);
    try {
        request.body = gzipped(body);
    } catch (const GzipError& error) {
        hedgeLog("Error gzipping the " + name + " body: " + error.message + ".");
        return completion(OrbitUploadInfo{std::nullopt, error});
    }
    session_.send(std::move(request), [name, completion = std::move(completion)](HttpResponse response) {
        processUploadResponse(name, response, completion);
    });
}

void OrbitApi::batch(const Events& events, UploadCompletion completion) {
    const auto url = getEndpointURL("/batch", {}, config_->host);
    if (!url) {
        hedgeLog("Malformed batch URL error.");
        return completion(OrbitUploadInfo{});
    }
    auto elements = nlohmann::json::array();
    for (const auto& event : events)
        if (event) elements.push_back(event->toJSON());
    const nlohmann::json body{
        {"api_key", config_->projectToken}, {"batch", std::move(elements)}, {"sent_at", toISO8601String(now_())}};
    upload("batch", *url, body, std::move(completion));
}

void OrbitApi::snapshot(const Events& events, UploadCompletion completion) {
    const auto url = getEndpointURL(config_->snapshotEndpoint(), {}, config_->host);
    if (!url) {
        hedgeLog("Malformed snapshot URL error.");
        return completion(OrbitUploadInfo{});
    }
    auto body = nlohmann::json::array();
    for (const auto& event : events) {
        if (!event) continue;
        event->apiKey = config_->projectToken;
        body.push_back(event->toJSON());
    }
    upload("snapshot", *url, body, std::move(completion));
}

void OrbitApi::logs(const std::string& payload, UploadCompletion completion) {
    const auto url = getEndpointURL("/i/v1/logs", {{"token", config_->projectToken}}, config_->host);
    if (!url) {
        hedgeLog("Malformed logs URL error.");
        return completion(OrbitUploadInfo{});
    }
    uploadText("logs", *url, payload, std::move(completion));
}

void OrbitApi::flags(const std::string& distinctId, const std::optional<std::string>& anonymousId,
                     const std::optional<std::string>& deviceId, const std::map<std::string, std::string>& groups,
                     const nlohmann::json& personProperties,
                     const std::optional<std::map<std::string, nlohmann::json>>& groupProperties,
                     JSONCompletion completion) {
    const auto url = getEndpointURL("/flags", {{"v", "2"}}, config_->host);
    if (!url) {
        hedgeLog("Malformed flags URL error.");
        return completion(std::nullopt, std::nullopt);
    }
    auto request = getURLRequest(*url, false);

    nlohmann::json body{{"api_key", config_->projectToken},
                        {"distinct_id", distinctId},
                        {"groups", groups.empty() ? nlohmann::json::object() : nlohmann::json(groups)},
                        {"timezone", currentTimeZoneIdentifier()}};
    if (anonymousId) body["$anon_distinct_id"] = *anonymousId;
    if (deviceId) body["$device_id"] = *deviceId;
    if (!personProperties.empty()) body["person_properties"] = personProperties;
    if (groupProperties && !groupProperties->empty()) body["group_properties"] = *groupProperties;
    if (config_->evaluationContexts && !config_->evaluationContexts->empty())
        body["evaluation_contexts"] = *config_->evaluationContexts;

    auto json = writeJSON(body);
    if (!json) {
        hedgeLog("Error parsing the flags body");
        return completion(std::nullopt, std::nullopt);
    }
    request.body = std::move(*json);
    session_.send(std::move(request), [completion = std::move(completion)](HttpResponse response) {
        static constexpr JSONRequestMessages messages{
            "Error calling the flags API: ", "Error parsing the flags response: no data",
            "Error calling flags API: status: ", "Flags called successfully.", "Error parsing the flags response: "};
        handleJSONResponse(messages, response, completion);
    });
}

void OrbitApi::remoteConfig(JSONCompletion completion) {
    auto request = getRemoteConfigRequest();
    if (!request) {
        hedgeLog("Error calling the remote config API: unable to create request");
        return completion(std::nullopt, std::nullopt);
    }
    session_.send(std::move(*request), [completion = std::move(completion)](HttpResponse response) {
        static constexpr JSONRequestMessages messages{
            "Error calling the remote config API: ", "Error parsing the remote config response: no data",
            "Error calling the remote config API: status: ", "Remote config called successfully.",
            "Error parsing the remote config response: "};
        handleJSONResponse(messages, response, completion);
    });
}

}  // namespace orbit
