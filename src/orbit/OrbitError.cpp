#include "orbit/OrbitError.h"

namespace orbit {

std::string describe(const OrbitError& error) {
    return std::visit(
        [](const auto& e) -> std::string {
            if constexpr (std::is_same_v<std::decay_t<decltype(e)>, GzipError>)
                return e.message;
            else
                return e.description;
        },
        error);
}

}  // namespace orbit
