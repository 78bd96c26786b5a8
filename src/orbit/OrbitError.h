#pragma once
#include <string>
#include <variant>

#include "orbit/Utils/Gzip.h"

namespace orbit {

// The HTTP library could not complete the exchange: no connection, a reset, a time-out.
struct TransportError {
    int code = 0;  // the library's own code
    std::string description;
};

// The service answered the feature-flag or remote-configuration request with a status outside
// 200 to 299.
struct InternalOrbitError {
    std::string description;
};

// A successful answer whose body is not JSON.
struct JSONParseError {
    std::string description;
};

using OrbitError = std::variant<TransportError, GzipError, InternalOrbitError, JSONParseError>;

std::string describe(const OrbitError& error);

}  // namespace orbit
