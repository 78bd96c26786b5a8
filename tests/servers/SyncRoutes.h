#pragma once
#include "servers/BackendRoute.h"
#include <functional>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace testservers {

// The team sync routes, kept in the fixture's "sync" object, which they change:
//   "snippets"           {upper-case id: server snippet}
//   "deleted"            {upper-case id: {"teamId", "deletedAt"}}
//   "appliedOperations"  {operation id: the number of times it was applied (always 1)}
//   "now"                the backend's present, when a test fixes it (otherwise the system's)
// Dates are "YYYY-MM-DDTHH:MM:SSZ", whole seconds.
//   POST /api/sync/push  applies each operation once by its id (a repeat answers "success"
//                        again without applying); a create of a known snippet replaces it as a
//                        new version, an update whose "expectedVersion" is not the stored
//                        version (or of an unknown snippet) answers "conflict"
//   GET  /api/sync/pull  ?teamId=<id>[&since=<date>]: the team's snippets updated at or after
//                        since, with the ids deleted at or after it
// Both answer 401 unless the bearer token is one of "auth"."accounts" (any token when the
// fixture has no accounts).
void installSyncRoutes(BackendRoutes& routes);

}  // namespace testservers
