#include "Sync/SyncTimestamps.h"

#include <string>

namespace sablix {
namespace {

std::string keyOf(const platform::Uuid& teamId) { return SyncTimestamps::kKeyPrefix + teamId.toString(); }

}  // namespace

std::optional<platform::Date> SyncTimestamps::last(const platform::Uuid& teamId) const {
    const auto value = defaults_->object(keyOf(teamId));
    if (!value || !value->asDate()) return std::nullopt;
    return *value->asDate();
}

void SyncTimestamps::save(const platform::Uuid& teamId, const platform::Date& timestamp) {
    defaults_->set(keyOf(teamId), platform::DefaultsValue(timestamp));
}

void SyncTimestamps::forget(const platform::Uuid& teamId) { defaults_->remove(keyOf(teamId)); }

void SyncTimestamps::forgetAll() {
    for (const auto& key : defaults_->keys())
        if (key.starts_with(kKeyPrefix)) defaults_->remove(key);
}

}  // namespace sablix
