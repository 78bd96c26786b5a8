#pragma once
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <nlohmann/json.hpp>

#include "orbit/Flags/PayloadDecoding.h"
#include "orbit/Utils/JSONUtils.h"

namespace orbit {

// The answer for one feature flag: whether it is on, its variant, and its payload. Immutable.
class OrbitFeatureFlagResult {
public:
    OrbitFeatureFlagResult(std::string key, bool enabled, std::optional<std::string> variant,
                           std::optional<nlohmann::json> payload)
        : key_(std::move(key)), enabled_(enabled), variant_(std::move(variant)), payload_(std::move(payload)) {}

    // The result for a cached value and payload (a payload given as text is read as JSON); nothing
    // when the flag has no value.
    static std::optional<OrbitFeatureFlagResult> make(const std::string& key,
                                                      const std::optional<nlohmann::json>& value,
                                                      const std::optional<nlohmann::json>& storedPayload);

    const std::string& key() const { return key_; }
    bool enabled() const { return enabled_; }
    const std::optional<std::string>& variant() const { return variant_; }
    const std::optional<nlohmann::json>& payload() const { return payload_; }

    // The payload as a T: itself when it already is one, else decoded from its JSON text through
    // T's from_json. Only an object or an array is decoded; every failure is nothing, and so is a
    // number, wherever it stands, that the type it would become cannot hold.
    template <typename T>
    std::optional<T> payloadAs() const {
        if (!payload_) return std::nullopt;
        if (auto same = asSameType<T>(*payload_)) return same;
        if (!payload_->is_object() && !payload_->is_array()) return std::nullopt;
        const auto bytes = writeJSON(*payload_);
        if (!bytes) return std::nullopt;
        const auto document = readJSON(*bytes);
        if (!document) return std::nullopt;
        try {
            return payload::CheckedJson(*document).template get<T>();
        } catch (const nlohmann::json::exception&) {
            return std::nullopt;
        } catch (const payload::OutOfRange&) {
            return std::nullopt;
        }
    }

private:
    // The payload when it holds a T as it stands, without conversion between kinds of value.
    template <typename T>
    static std::optional<T> asSameType(const nlohmann::json& payload) {
        if constexpr (std::is_same_v<T, nlohmann::json>) {
            return payload;
        } else if constexpr (std::is_same_v<T, std::string>) {
            if (payload.is_string()) return payload.get<std::string>();
        } else if constexpr (std::is_same_v<T, bool>) {
            if (payload.is_boolean()) return payload.get<bool>();
        } else if constexpr (std::is_integral_v<T>) {
            if (payload.is_number_integer()) return payload::numberAs<T>(payload);
        } else if constexpr (std::is_floating_point_v<T>) {
            if (payload.is_number()) return payload::numberAs<T>(payload);
        }
        return std::nullopt;
    }

    std::string key_;
    bool enabled_;
    std::optional<std::string> variant_;
    std::optional<nlohmann::json> payload_;
};

}  // namespace orbit
