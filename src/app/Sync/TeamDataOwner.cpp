#include "Sync/TeamDataOwner.h"

#include <exception>
#include <string>

namespace sablix {

void TeamDataOwner::signedIn(const platform::Uuid& user) {
    const auto owner = defaults_.string(kOwnerKey);
    const bool sameUser = owner == user.toString();
    size_t dropped = 0;
    try {
        // Before the rows: a timestamp kept without them would make the next pull skip them for good.
        if (!sameUser) SyncTimestamps(defaults_).forgetAll();
        cache_.open();
        // Even for the same user: a change of no known user is never pushed, so it is dropped.
        dropped = cache_.removeOtherUsersData(user, !sameUser);
    } catch (const std::exception& error) {
        logger_.error("The previous user's team data could not be removed: %s", error.what());
        return;
    }
    if (!sameUser) defaults_.set(kOwnerKey, platform::DefaultsValue(user.toString()));
    if (dropped > 0 || (owner && !sameUser))
        logger_.info("The previous user's team data is removed: %zu queued changes dropped", dropped);
}

}  // namespace sablix
