// libFuzzer target over what the event context reads from the system (DMI files, the time zone
// file and link, locale and zone variables) and over screen titles. Not part of the build; from
// the top of the tree:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I src tests/orbit/fuzz/context_fuzz.cpp \
//     src/orbit/OrbitContext.cpp src/orbit/ScreenViews/OrbitScreenNameSanitizer.cpp src/orbit/OrbitVersion.cpp \
//     src/orbit/OrbitHost.cpp src/orbit/Utils/*.cpp src/orbit/Queue/OrbitDispatchQueue.cpp src/posix/*.cpp \
//     src/orbit/Network/Reachability.cpp -lcurl -lz -o /tmp/context_fuzz
//   /tmp/context_fuzz -max_total_time=180 -max_len=1024
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

#include "orbit/OrbitContext.h"
#include "orbit/ScreenViews/OrbitScreenNameSanitizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path root = [] {
        char pattern[] = "/tmp/orbit-context-fuzz-XXXXXX";
        const std::filesystem::path made(::mkdtemp(pattern));
        std::filesystem::create_directories(made / "sys/class/dmi/id");
        std::filesystem::create_directories(made / "etc");
        return made;
    }();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (const char* name : {"sys/class/dmi/id/sys_vendor", "sys/class/dmi/id/product_name", "etc/timezone"})
        std::ofstream(root / name, std::ios::binary | std::ios::trunc) << bytes;
    std::error_code ignored;
    std::filesystem::remove(root / "etc/localtime", ignored);
    if (bytes.find('\0') == std::string::npos && !bytes.empty())
        std::filesystem::create_symlink(bytes, root / "etc/localtime", ignored);

    const std::map<std::string, std::string> variables{{"LANG", bytes}, {"TZ", size % 2 ? bytes : ""}};
    orbit::OrbitContextSources sources;
    sources.root = root;
    sources.env = [&variables](const char* name) -> std::optional<std::string> {
        const auto found = variables.find(name);
        if (found == variables.end()) return std::nullopt;
        return found->second;
    };
    orbit::OrbitContext context(nullptr, sources);
    (void)context.staticContext().dump();
    (void)context.dynamicContext().dump();
    std::filesystem::remove(root / "etc/timezone", ignored);
    (void)orbit::OrbitContext::timeZoneName(root, [](const char*) { return std::nullopt; });
    (void)orbit::OrbitScreenNameSanitizer::sanitize(bytes);
    (void)orbit::macModelToFriendlyName(bytes);
    return 0;
}
