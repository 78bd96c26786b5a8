#pragma once
#include <atomic>
#include <map>
#include <mutex>

#include "platform/Defaults.h"

namespace platform {

// A defaults store that lives in memory, for tests; it can be told to refuse writes.
class MemoryDefaults final : public Defaults {
public:
    std::optional<DefaultsValue> object(const std::string& key) const override;
    bool set(const std::string& key, const DefaultsValue& value) override;
    bool remove(const std::string& key) override;
    std::vector<std::string> keys() const override;

    void setFailWrites(bool fail) { failWrites_ = fail; }
    size_t writeCount() const { return writes_; }

private:
    mutable std::mutex mutex_;
    std::map<std::string, DefaultsValue> values_;
    std::atomic<bool> failWrites_{false};
    std::atomic<size_t> writes_{0};
};

}  // namespace platform
