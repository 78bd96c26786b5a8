#include "orbit/OrbitDeepLinkHelper.h"

#include <memory>

#include <curl/curl.h>

namespace orbit::OrbitDeepLinkHelper {
namespace {

using Url = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

// Custom schemes (the application's own links) are URLs too.
Url parse(const std::string& text) {
    Url url(curl_url(), &curl_url_cleanup);
    if (!url || text.find('\0') != std::string::npos ||
        curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return Url(nullptr, &curl_url_cleanup);
    return url;
}

std::optional<std::string> part(const Url& url, CURLUPart which) {
    char* value = nullptr;
    if (!url || curl_url_get(url.get(), which, &value, 0) != CURLUE_OK || !value) return std::nullopt;
    std::string text(value);
    curl_free(value);
    return text;
}

}  // namespace

// The text as given: re-assembling it would add what the link never had (a trailing "/").
std::optional<std::string> absoluteURL(const std::string& url) {
    if (!part(parse(url), CURLUPART_SCHEME)) return std::nullopt;
    return url;
}

std::optional<std::string> host(const std::string& text) {
    auto found = part(parse(text), CURLUPART_HOST);
    if (found && found->empty()) return std::nullopt;
    return found;
}

bool isFileURL(const std::string& url) { return part(parse(url), CURLUPART_SCHEME) == "file"; }

nlohmann::json buildDeepLinkProperties(const std::string& absoluteUrl, const std::optional<std::string>& referrer) {
    nlohmann::json properties = {{"url", absoluteUrl}};
    if (!referrer) return properties;
    properties["$referrer"] = *referrer;
    if (const auto domain = host(*referrer)) properties["$referring_domain"] = *domain;
    return properties;
}

}  // namespace orbit::OrbitDeepLinkHelper
