#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Date.h"
#include "platform/JsonSalvage.h"

namespace platform {

// One typed value of the defaults store: string, integer, double, bool, binary data, date,
// array or object (the last two nest further values).
class DefaultsValue {
public:
    using Data = std::vector<uint8_t>;
    using Array = std::vector<DefaultsValue>;
    using Object = std::map<std::string, DefaultsValue>;
    enum class Type { String, Integer, Double, Bool, Data, Date, Array, Object };

    DefaultsValue(std::string v) : value_(std::move(v)) {}
    DefaultsValue(const char* v) : value_(std::string(v)) {}
    DefaultsValue(int64_t v) : value_(v) {}
    DefaultsValue(int v) : value_(static_cast<int64_t>(v)) {}
    DefaultsValue(double v) : value_(v) {}
    DefaultsValue(bool v) : value_(v) {}
    DefaultsValue(Data v) : value_(std::move(v)) {}
    DefaultsValue(Date v) : value_(v) {}
    DefaultsValue(Array v) : value_(std::move(v)) {}
    DefaultsValue(Object v) : value_(std::move(v)) {}

    static DefaultsValue data(std::string_view bytes) { return DefaultsValue(Data(bytes.begin(), bytes.end())); }

    Type type() const { return static_cast<Type>(value_.index()); }

    const std::string* asString() const { return std::get_if<std::string>(&value_); }
    const int64_t* asInteger() const { return std::get_if<int64_t>(&value_); }
    const double* asDouble() const { return std::get_if<double>(&value_); }
    const bool* asBool() const { return std::get_if<bool>(&value_); }
    const Data* asData() const { return std::get_if<Data>(&value_); }
    const Date* asDate() const { return std::get_if<Date>(&value_); }
    const Array* asArray() const { return std::get_if<Array>(&value_); }
    const Object* asObject() const { return std::get_if<Object>(&value_); }

    // The deepest nesting of arrays and objects a value may have in its JSON form ({"$data": …}
    // and {"$date": …} count as one level), as deep as salvage reads.
    static constexpr size_t kMaxNesting = jsonsalvage::kMaxNesting;

    // On disk: strings, numbers, booleans, arrays and objects are plain JSON; binary data is
    // {"$data": base64} and a date {"$date": seconds since 2001}.
    nlohmann::json toJson() const;
    // `lenient` reads base64 that was damaged in place (see base64DecodeLenient), for salvage.
    // JSON nested deeper than kMaxNesting reads as nothing, like any value that does not decode.
    enum class DataDecoding { strict, lenient };
    static std::optional<DefaultsValue> fromJson(const nlohmann::json& json,
                                                 DataDecoding decoding = DataDecoding::strict);
    // Whether the JSON form nests deeper than kMaxNesting; looks no deeper than that.
    bool tooDeep() const { return !fitsIn(kMaxNesting); }

    friend bool operator==(const DefaultsValue&, const DefaultsValue&) = default;

private:
    static std::optional<DefaultsValue> fromJson(const nlohmann::json& json, DataDecoding decoding, size_t levelsLeft);
    bool fitsIn(size_t levels) const;

    std::variant<std::string, int64_t, double, bool, Data, Date, Array, Object> value_;
};

}  // namespace platform
