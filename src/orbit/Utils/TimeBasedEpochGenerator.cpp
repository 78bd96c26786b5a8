#include "orbit/Utils/TimeBasedEpochGenerator.h"

#include <stdlib.h>
#include <sys/random.h>

namespace orbit {
namespace {

void fillRandom(std::array<uint8_t, 10>& bytes) {
    if (getrandom(bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size())) return;
    for (auto& byte : bytes) byte = static_cast<uint8_t>(arc4random());
}

}  // namespace

TimeBasedEpochGenerator::TimeBasedEpochGenerator(Now now) : now_(std::move(now)) {}

TimeBasedEpochGenerator& TimeBasedEpochGenerator::shared() {
    // Never destroyed: the client's threads may still make identifiers while the process exits.
    static auto* const generator = new TimeBasedEpochGenerator();
    return *generator;
}

Uuid TimeBasedEpochGenerator::v7() {
    std::lock_guard lock(state_.lock);
    return generateUUID();
}

Uuid TimeBasedEpochGenerator::generateUUID() {
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now_().time_since_epoch()).count();
    // A clock set before 1970 has no place in 48 unsigned bits; it counts as 1970 itself.
    const uint64_t ms = millis > 0 ? static_cast<uint64_t>(millis) : 0;

    if (ms == state_.lastTimestamp) {
        for (size_t i = state_.lastEntropy.size(); i-- > 0;)
            if (++state_.lastEntropy[i] != 0) break;
    } else {
        state_.lastTimestamp = ms;
        fillRandom(state_.lastEntropy);
    }

    Uuid::Bytes bytes{};
    for (size_t i = 0; i < 6; ++i) bytes[i] = static_cast<uint8_t>(ms >> (8 * (5 - i)));
    for (size_t i = 0; i < state_.lastEntropy.size(); ++i) bytes[6 + i] = state_.lastEntropy[i];
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x70);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    return Uuid(bytes);
}

}  // namespace orbit
