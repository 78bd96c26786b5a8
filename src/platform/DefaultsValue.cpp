#include "platform/DefaultsValue.h"

#include <algorithm>

#include "platform/Base64.h"

namespace platform {
nlohmann::json DefaultsValue::toJson() const {
    using nlohmann::json;
    return std::visit(
        [](const auto& v) -> json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Data>) {
                return json{{"$data", base64Encode(v.data(), v.size())}};
            } else if constexpr (std::is_same_v<T, Date>) {
                return json{{"$date", v.secondsSince2001}};
            } else if constexpr (std::is_same_v<T, Array>) {
                json array = json::array();
                for (const auto& e : v) array.push_back(e.toJson());
                return array;
            } else if constexpr (std::is_same_v<T, Object>) {
                json object = json::object();
                for (const auto& [k, e] : v) object[k] = e.toJson();
                return object;
            } else {
                return json(v);
            }
        },
        value_);
}

bool DefaultsValue::fitsIn(size_t levels) const {
    if (const auto* array = asArray())
        return levels > 0 &&
               std::all_of(array->begin(), array->end(), [&](const DefaultsValue& e) { return e.fitsIn(levels - 1); });
    if (const auto* object = asObject())
        return levels > 0 &&
               std::all_of(object->begin(), object->end(), [&](const auto& e) { return e.second.fitsIn(levels - 1); });
    if (asData() || asDate()) return levels > 0;
    return true;
}

std::optional<DefaultsValue> DefaultsValue::fromJson(const nlohmann::json& json, DataDecoding decoding) {
    return fromJson(json, decoding, kMaxNesting);
}

std::optional<DefaultsValue> DefaultsValue::fromJson(const nlohmann::json& json, DataDecoding decoding,
                                                     size_t levelsLeft) {
    if (json.is_structured() && levelsLeft == 0) return std::nullopt;
    switch (json.type()) {
    case nlohmann::json::value_t::string: return DefaultsValue(json.get<std::string>());
    case nlohmann::json::value_t::boolean: return DefaultsValue(json.get<bool>());
    case nlohmann::json::value_t::number_integer: return DefaultsValue(json.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
        // Beyond the signed range an integer would wrap to a negative number.
        const uint64_t n = json.get<uint64_t>();
        if (n > static_cast<uint64_t>(INT64_MAX)) return DefaultsValue(static_cast<double>(n));
        return DefaultsValue(static_cast<int64_t>(n));
    }
    case nlohmann::json::value_t::number_float: return DefaultsValue(json.get<double>());
    case nlohmann::json::value_t::array: {
        Array array;
        for (const auto& e : json) {
            auto v = fromJson(e, decoding, levelsLeft - 1);
            if (!v) return std::nullopt;
            array.push_back(std::move(*v));
        }
        return DefaultsValue(std::move(array));
    }
    case nlohmann::json::value_t::object: {
        if (json.size() == 1 && json.contains("$data")) {
            if (!json["$data"].is_string()) return std::nullopt;
            const auto& text = json["$data"].get_ref<const std::string&>();
            auto bytes = decoding == DataDecoding::strict ? base64Decode(text) : base64DecodeLenient(text);
            if (!bytes) return std::nullopt;
            return DefaultsValue(std::move(*bytes));
        }
        if (json.size() == 1 && json.contains("$date")) {
            if (!json["$date"].is_number()) return std::nullopt;
            return DefaultsValue(Date{json["$date"].get<double>()});
        }
        Object object;
        for (const auto& [k, e] : json.items()) {
            auto v = fromJson(e, decoding, levelsLeft - 1);
            if (!v) return std::nullopt;
            object.emplace(k, std::move(*v));
        }
        return DefaultsValue(std::move(object));
    }
    default: return std::nullopt;
    }
}

}  // namespace platform
