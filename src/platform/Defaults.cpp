#include "platform/Defaults.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace platform {
namespace {

// A cast of a double outside the integer range is undefined; the nearest bound is the answer.
int64_t clampedInteger(double d) {
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (std::isnan(d)) return 0;
    if (d >= kTwoTo63) return INT64_MAX;
    if (d < -kTwoTo63) return INT64_MIN;
    return static_cast<int64_t>(d);
}

}  // namespace

std::optional<std::string> Defaults::string(const std::string& key) const {
    auto v = object(key);
    if (!v) return std::nullopt;
    if (auto s = v->asString()) return *s;
    return std::nullopt;
}

int64_t Defaults::integer(const std::string& key) const {
    auto v = object(key);
    if (!v) return 0;
    if (auto i = v->asInteger()) return *i;
    if (auto d = v->asDouble()) return clampedInteger(*d);
    if (auto b = v->asBool()) return *b ? 1 : 0;
    if (auto s = v->asString()) return std::strtoll(s->c_str(), nullptr, 10);
    return 0;
}

double Defaults::doubleValue(const std::string& key) const {
    auto v = object(key);
    if (!v) return 0;
    if (auto d = v->asDouble()) return *d;
    if (auto i = v->asInteger()) return static_cast<double>(*i);
    if (auto b = v->asBool()) return *b ? 1 : 0;
    if (auto s = v->asString()) return std::strtod(s->c_str(), nullptr);
    return 0;
}

bool Defaults::boolean(const std::string& key) const {
    auto v = object(key);
    if (!v) return false;
    if (auto b = v->asBool()) return *b;
    if (auto i = v->asInteger()) return *i != 0;
    if (auto d = v->asDouble()) return *d != 0;
    if (auto s = v->asString())
        return *s == "YES" || *s == "yes" || *s == "true" || std::strtoll(s->c_str(), nullptr, 10) != 0;
    return false;
}

std::optional<DefaultsValue::Data> Defaults::data(const std::string& key) const {
    auto v = object(key);
    if (!v) return std::nullopt;
    if (auto d = v->asData()) return *d;
    return std::nullopt;
}

}  // namespace platform
