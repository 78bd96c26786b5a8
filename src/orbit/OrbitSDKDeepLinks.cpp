// Deep links that opened the application, as "Deep Link Opened" events.
#include "orbit/OrbitDeepLinkHelper.h"
#include "orbit/OrbitSDK.h"

namespace orbit {

void OrbitSDK::captureDeepLink(const std::optional<std::string>& url, const std::optional<std::string>& referrer) {
    if (!isSetUp() || !url) return;
    // Text that is not a URL is no link: nothing to report.
    const auto absolute = OrbitDeepLinkHelper::absoluteURL(*url);
    if (!absolute) return;
    capture("Deep Link Opened", OrbitDeepLinkHelper::buildDeepLinkProperties(*absolute, referrer));
}

void OrbitSDK::captureDeepLink(const std::string& url) { captureDeepLink(url, std::nullopt); }

void OrbitSDK::captureDeepLink(const std::vector<std::string>& urls) {
    for (const auto& url : urls)
        if (!OrbitDeepLinkHelper::isFileURL(url)) captureDeepLink(url, std::nullopt);
}

void OrbitSDK::captureDeepLink(const OrbitUserActivity& userActivity) {
    if (userActivity.activityType != OrbitUserActivity::browsingWebType || !userActivity.webpageURL) return;
    std::optional<std::string> referrer;
    if (userActivity.referrerURL) referrer = OrbitDeepLinkHelper::absoluteURL(*userActivity.referrerURL);
    captureDeepLink(userActivity.webpageURL, referrer);
}

}  // namespace orbit
