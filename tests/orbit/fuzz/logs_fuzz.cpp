// libFuzzer target over a stored log record as the logs queue reads it back, and the OTLP payload
// made of it: the payload must always be JSON, with each key once in its key-value lists. Not part
// of the build; from the top of the tree:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I src tests/orbit/fuzz/logs_fuzz.cpp \
//     src/orbit/Logs/{OrbitLogRecord,OrbitLogsOTLP,OrbitLogsConfig,LogText}.cpp src/orbit/Utils/*.cpp \
//     src/orbit/{OrbitHost,OrbitVersion}.cpp src/orbit/Queue/OrbitDispatchQueue.cpp src/posix/*.cpp \
//     -lcurl -lz -o /tmp/logs_fuzz
//   /tmp/logs_fuzz -max_total_time=180 -max_len=4096
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "orbit/Logs/OrbitLogsOTLP.h"
#include "orbit/Utils/JSONUtils.h"

namespace {

// Every key-value list of the payload holds each key once, in ascending order, also after keys
// that are not UTF-8 were repaired.
bool keysAscend(const nlohmann::json& value) {
    if (value.is_object()) {
        for (const auto& [key, member] : value.items())
            if ((key == "attributes" || (key == "values" && value.size() == 1)) && member.is_array()) {
                std::string previous;
                bool first = true;
                for (const auto& pair : member) {
                    if (!pair.is_object() || !pair.contains("key")) break;
                    const auto& text = pair["key"].get_ref<const std::string&>();
                    if (!first && !(previous < text)) return false;
                    previous = text;
                    first = false;
                }
            }
        for (const auto& [key, member] : value.items())
            if (!keysAscend(member)) return false;
    } else if (value.is_array()) {
        for (const auto& member : value)
            if (!keysAscend(member)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto object = orbit::fromJSONData(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!object) return 0;
    const auto record = orbit::OrbitLogRecord::fromStorageJSON(*object);
    if (!record) return 0;
    if (!orbit::writeJSON(record->toStorageJSON())) std::abort();
    const auto payload = orbit::OrbitLogsOTLP::buildPayload({record}, *object, "1.4.0");
    const auto read = orbit::readJSON(payload);
    if (!read || !keysAscend(*read)) std::abort();
    return 0;
}
