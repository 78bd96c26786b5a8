// libFuzzer target over what the key storage reads from disk and what a configuration takes as
// its token and host. Not part of the build; from the top of the tree:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I src tests/orbit/fuzz/storage_fuzz.cpp \
//     src/orbit/{OrbitStorage,OrbitConfig,OrbitHost,OrbitIntegration,OrbitVersion}.cpp src/orbit/Utils/*.cpp \
//     src/orbit/Logs/{OrbitLogsConfig,OrbitLogRecord,LogText}.cpp src/orbit/Models/OrbitEvent.cpp \
//     src/orbit/Queue/OrbitDispatchQueue.cpp src/posix/*.cpp -lcurl -lz -o /tmp/storage_fuzz
//   /tmp/storage_fuzz -max_total_time=180 -max_len=4096
#include <cstdint>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "orbit/OrbitConfig.h"
#include "orbit/OrbitStorage.h"
#include "posix/AtomicFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path folder = [] {
        char pattern[] = "/tmp/orbit-storage-fuzz-XXXXXX";
        return std::filesystem::path(::mkdtemp(pattern));
    }();
    static orbit::OrbitStorage storage(folder);
    using Key = orbit::OrbitStorage::StorageKey;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (const auto key : {Key::anonymousId, Key::optOut, Key::evaluatedAt, Key::flags}) {
        posix::writeFileAtomically(storage.url(key), bytes, 0600, posix::Existing::replace);
        (void)storage.getString(key);
        (void)storage.getBool(key);
        (void)storage.getInt(key);
        if (const auto dictionary = storage.getDictionary(key)) storage.setDictionary(Key::registerProperties, *dictionary);
    }
    const auto split = bytes.find('\n');
    const orbit::OrbitConfig config(bytes.substr(0, split), split == std::string::npos ? "" : bytes.substr(split + 1));
    return config.host.empty() ? -1 : 0;
}
