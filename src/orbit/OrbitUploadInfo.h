#pragma once
#include <cstdint>
#include <optional>

#include "orbit/OrbitError.h"

namespace orbit {

// The outcome of one upload: the status of the answer, or the error that stood in its way, or
// neither when nothing usable happened. Never both.
struct OrbitUploadInfo {
    std::optional<int64_t> statusCode;
    std::optional<OrbitError> error;
};

}  // namespace orbit
