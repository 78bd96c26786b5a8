#pragma once
#include "Sync/TeamSnippetCache.h"
#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/Uuid.h"

namespace sablix {

// The team snippet database holds one user's team data: the snippets of that user's teams, with
// their sync timestamps, and the changes queued on this machine. Signing out or an expired
// session leaves it all in place, so that the same user signing back in still has the changes
// that were not pushed yet. When another user signs in, it goes before that user's first pull:
// that user's bearer must never carry the other's changes, nor that user see the other's teams.
//
// The user the data belongs to is kept under kOwnerKey in the defaults store. Data of no known
// user (kept before the owner was recorded, or since the store was lost) counts as another
// user's, and so does a queued change that records no user (queued before changes recorded
// theirs): nobody can tell whose bearer it was meant for, so it never goes with any, and the next
// sign-in drops it. A session restored at start claims nothing; its user is the one who signed
// in last.
class TeamDataOwner {
public:
    static constexpr const char* kOwnerKey = "team_data_user_id";

    TeamDataOwner(TeamSnippetCache& cache, platform::Defaults& defaults) : cache_(cache), defaults_(defaults) {}

    // Called once a user's sign-in completes, before anything of the user's is synced. Failures
    // are logged; the owner then stays as it was, so the next sign-in tries again.
    void signedIn(const platform::Uuid& user);

private:
    TeamSnippetCache& cache_;
    platform::Defaults& defaults_;
    platform::Log logger_ = platform::appLog("TeamDataOwner");
};

}  // namespace sablix
