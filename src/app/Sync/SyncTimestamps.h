#pragma once
#include <optional>

#include "platform/Date.h"
#include "platform/Defaults.h"
#include "platform/Uuid.h"

namespace sablix {

// The server's time of each team's last pull, under "sync_timestamp_" and the team's id in the
// defaults store: the next pull asks only for what changed since. It tells how far the team
// snippet database holds the team, so it goes whenever the team's rows go, or the database does.
class SyncTimestamps {
public:
    static constexpr const char* kKeyPrefix = "sync_timestamp_";

    explicit SyncTimestamps(platform::Defaults& defaults) : defaults_(&defaults) {}

    std::optional<platform::Date> last(const platform::Uuid& teamId) const;
    void save(const platform::Uuid& teamId, const platform::Date& timestamp);
    void forget(const platform::Uuid& teamId);
    void forgetAll();

private:
    platform::Defaults* defaults_;
};

}  // namespace sablix
