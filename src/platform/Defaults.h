#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/DefaultsValue.h"

namespace platform {

// The user's defaults store: typed values under string keys. Safe to use from any thread.
class Defaults {
public:
    virtual ~Defaults() = default;

    virtual std::optional<DefaultsValue> object(const std::string& key) const = 0;
    // False when the value could not be made durable; the store then still holds the old value.
    virtual bool set(const std::string& key, const DefaultsValue& value) = 0;
    virtual bool remove(const std::string& key) = 0;
    // Every key that holds a value.
    virtual std::vector<std::string> keys() const = 0;
    // The file behind the store, or an empty path when it lives in memory only.
    virtual std::filesystem::path location() const { return {}; }
    // Why the stored values could not all be read, empty when the store read cleanly. A store
    // that did not read cleanly may hold less than the user stored.
    virtual std::string loadError() const { return {}; }

    // Typed reads in the manner of the platform's defaults: absent or foreign values give the
    // neutral value (0, false, none); numbers convert between integer, double and bool.
    std::optional<std::string> string(const std::string& key) const;
    int64_t integer(const std::string& key) const;
    double doubleValue(const std::string& key) const;
    bool boolean(const std::string& key) const;
    std::optional<DefaultsValue::Data> data(const std::string& key) const;
    bool contains(const std::string& key) const { return object(key).has_value(); }
};

}  // namespace platform
