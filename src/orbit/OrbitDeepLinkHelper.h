#pragma once
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace orbit {

// A continued user activity, as far as deep links read it.
struct OrbitUserActivity {
    static constexpr const char* browsingWebType = "NSUserActivityTypeBrowsingWeb";
    std::string activityType;
    std::optional<std::string> webpageURL;
    std::optional<std::string> referrerURL;
};

// The properties of a "Deep Link Opened" event.
namespace OrbitDeepLinkHelper {

// The URL's text when it parses as a URL with a scheme (any scheme); nothing otherwise.
std::optional<std::string> absoluteURL(const std::string& url);
// The host of text parsed as a URL; nothing when it does not parse or has none.
std::optional<std::string> host(const std::string& text);
bool isFileURL(const std::string& url);

// {"url"}, and with a referrer "$referrer" and, when it has a host, "$referring_domain".
nlohmann::json buildDeepLinkProperties(const std::string& absoluteUrl, const std::optional<std::string>& referrer);

}  // namespace OrbitDeepLinkHelper
}  // namespace orbit
