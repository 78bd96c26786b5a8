#include "platform/MemoryDefaults.h"

namespace platform {

std::optional<DefaultsValue> MemoryDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

bool MemoryDefaults::set(const std::string& key, const DefaultsValue& value) {
    if (failWrites_) return false;
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(key, value);
    ++writes_;
    return true;
}

bool MemoryDefaults::remove(const std::string& key) {
    if (failWrites_) return false;
    std::lock_guard lock(mutex_);
    values_.erase(key);
    ++writes_;
    return true;
}

std::vector<std::string> MemoryDefaults::keys() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> keys;
    for (const auto& entry : values_) keys.push_back(entry.first);
    return keys;
}

}  // namespace platform
