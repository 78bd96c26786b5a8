// libFuzzer target over deep links and their referrers. Not part of the build; from the top of
// the tree:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I src tests/orbit/fuzz/deeplink_fuzz.cpp \
//     src/orbit/OrbitDeepLinkHelper.cpp -lcurl -o /tmp/deeplink_fuzz
//   /tmp/deeplink_fuzz -max_total_time=180 -max_len=1024
#include <cstdint>
#include <string>

#include "orbit/OrbitDeepLinkHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto split = text.find('\n');
    const std::string url = text.substr(0, split);
    const std::optional<std::string> referrer =
        split == std::string::npos ? std::nullopt : std::optional<std::string>(text.substr(split + 1));
    if (const auto absolute = orbit::OrbitDeepLinkHelper::absoluteURL(url)) {
        const auto properties = orbit::OrbitDeepLinkHelper::buildDeepLinkProperties(*absolute, referrer);
        (void)properties.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    orbit::OrbitDeepLinkHelper::isFileURL(url);
    return 0;
}
