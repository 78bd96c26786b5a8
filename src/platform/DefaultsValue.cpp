#include "platform/DefaultsValue.h"

namespace platform {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string base64Encode(const uint8_t* bytes, size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        const uint32_t n = static_cast<uint32_t>(bytes[i]) << 16 | (i + 1 < size ? bytes[i + 1] << 8 : 0) |
                           (i + 2 < size ? bytes[i + 2] : 0);
        out.push_back(kAlphabet[n >> 18 & 63]);
        out.push_back(kAlphabet[n >> 12 & 63]);
        out.push_back(i + 1 < size ? kAlphabet[n >> 6 & 63] : '=');
        out.push_back(i + 2 < size ? kAlphabet[n & 63] : '=');
    }
    return out;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++padding;
            } else if (padding > 0 || (v[k] = value(c)) < 0) {
                return std::nullopt;
            }
        }
        const uint32_t n = static_cast<uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        out.push_back(static_cast<uint8_t>(n >> 16));
        if (padding < 2) out.push_back(static_cast<uint8_t>(n >> 8 & 0xFF));
        if (padding < 1) out.push_back(static_cast<uint8_t>(n & 0xFF));
    }
    return out;
}

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

std::optional<DefaultsValue> DefaultsValue::fromJson(const nlohmann::json& json) {
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
            auto v = fromJson(e);
            if (!v) return std::nullopt;
            array.push_back(std::move(*v));
        }
        return DefaultsValue(std::move(array));
    }
    case nlohmann::json::value_t::object: {
        if (json.size() == 1 && json.contains("$data")) {
            if (!json["$data"].is_string()) return std::nullopt;
            auto bytes = base64Decode(json["$data"].get<std::string>());
            if (!bytes) return std::nullopt;
            return DefaultsValue(std::move(*bytes));
        }
        if (json.size() == 1 && json.contains("$date")) {
            if (!json["$date"].is_number()) return std::nullopt;
            return DefaultsValue(Date{json["$date"].get<double>()});
        }
        Object object;
        for (const auto& [k, e] : json.items()) {
            auto v = fromJson(e);
            if (!v) return std::nullopt;
            object.emplace(k, std::move(*v));
        }
        return DefaultsValue(std::move(object));
    }
    default: return std::nullopt;
    }
}

}  // namespace platform
