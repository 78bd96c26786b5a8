#pragma once
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

namespace orbit::payload {

// A number as a T when T holds it (a fraction is cut off, as a cast does), nothing otherwise:
// converting a number T cannot hold is undefined, or silently wraps.
template <typename T, typename Json>
std::optional<T> numberAs(const Json& value) {
    static_assert(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>);
    using Limits = std::numeric_limits<T>;
    if (value.is_number_unsigned()) {
        const uint64_t n = *value.template get_ptr<const typename Json::number_unsigned_t*>();
        if constexpr (std::is_integral_v<T>)
            if (n > static_cast<std::make_unsigned_t<T>>(Limits::max())) return std::nullopt;
        return static_cast<T>(n);
    }
    if (value.is_number_integer()) {
        const int64_t n = *value.template get_ptr<const typename Json::number_integer_t*>();
        if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
            if (n < static_cast<int64_t>(Limits::min()) || n > static_cast<int64_t>(Limits::max())) return std::nullopt;
        } else if constexpr (std::is_integral_v<T>) {
            if (n < 0 || static_cast<uint64_t>(n) > static_cast<uint64_t>(Limits::max())) return std::nullopt;
        }
        return static_cast<T>(n);
    }
    if (!value.is_number_float()) return std::nullopt;
    const double d = *value.template get_ptr<const typename Json::number_float_t*>();
    if constexpr (std::is_integral_v<T>) {
        // 2^digits is one past the largest value and exact as a double; NaN fails every test.
        const double end = std::ldexp(1.0, Limits::digits);
        const bool fits = std::is_signed_v<T> ? d >= -end && d < end : d > -1.0 && d < end;
        if (!fits) return std::nullopt;
    } else if constexpr (sizeof(T) < sizeof(double)) {
        if (!(std::fabs(d) <= static_cast<double>(Limits::max()))) return std::nullopt;
    }
    return static_cast<T>(d);
}

// Hands numbers to numberAs and everything else to the library's own conversions, so that a
// number anywhere inside a decoded container is checked against the type it becomes.
struct OutOfRange {};

template <typename T, typename = void>
struct CheckedSerializer : nlohmann::adl_serializer<T> {};

template <typename T>
struct CheckedSerializer<T, std::enable_if_t<std::is_arithmetic_v<T> && !std::is_same_v<T, bool>>> {
    template <typename Json>
    static void from_json(const Json& json, T& value) {
        if (!json.is_number()) return nlohmann::adl_serializer<T>::from_json(json, value);
        const auto fitting = numberAs<T>(json);
        if (!fitting) throw OutOfRange();
        value = *fitting;
    }
    template <typename Json>
    static void to_json(Json& json, T value) {
        nlohmann::adl_serializer<T>::to_json(json, value);
    }
};

using CheckedJson = nlohmann::basic_json<std::map, std::vector, std::string, bool, int64_t, uint64_t, double,
                                         std::allocator, CheckedSerializer>;

}  // namespace orbit::payload
