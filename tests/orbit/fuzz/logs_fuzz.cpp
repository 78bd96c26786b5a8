// libFuzzer target over a stored log record as the logs queue reads it back, and the OTLP payload
// made of it: the payload must always be JSON. Not part of the build; from the top of the tree:
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto object = orbit::fromJSONData(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!object) return 0;
    const auto record = orbit::OrbitLogRecord::fromStorageJSON(*object);
    if (!record) return 0;
    if (!orbit::writeJSON(record->toStorageJSON())) std::abort();
    const auto payload = orbit::OrbitLogsOTLP::buildPayload({record}, *object, "1.4.0");
    if (!orbit::readJSON(payload)) std::abort();
    return 0;
}
