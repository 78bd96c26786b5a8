#pragma once
#include <map>
#include <string>

#include "servers/TestBackend.h"

namespace testservers {

// The backend's team, member and invitation routes, over the fixture's "teams" object:
//   "teams":       list of teams: the team record's own keys (without "role" and "seatsUsed",
//                  which each caller's view adds) and "members", a list of member records
//   "invitations": list of {"id", "teamId", "email", "role", "token", "expiresAt", "createdAt"}
// The caller is the account that "auth"."accounts" gives for the bearer token (401 otherwise).
// Team ids compare in either case. Roles are enforced as the real backend does: a team the caller
// is not a member of is 404; updating a team, inviting and changing roles need an admin or the
// owner, deleting the team needs the owner, removing a member needs an admin or the owner unless
// members remove themselves, and the owner can be neither removed nor given another role (403).
// Refusals carry {"error": text}.
//   GET    /api/teams                            {"teams": the caller's teams, each with its role}
//   POST   /api/teams                            {"name", "description"?, "iconEmoji"?}: 201 the new
//                                                team, the caller its owner
//   PUT    /api/teams/<id>                       the given fields of the team: 200 the team
//   DELETE /api/teams/<id>                       200 {"success": true}
//   GET    /api/teams/<id>/members               {"members", "invitations": the team's open ones}
//   POST   /api/teams/<id>/members               {"email", "role"}: 201 the new invitation
//   PUT    /api/teams/<id>/members/<userId>      {"role"}: 200 the member
//   DELETE /api/teams/<id>/members/<userId>      200 {"success": true}
//   GET    /api/invitations/pending              {"invitations": those sent to the caller's e-mail}
//   POST   /api/invitations/<token>              the caller joins with the invitation's role: 200
// The token is read from the raw request line as one path segment, then percent-decoded, as a
// web framework's router does: "/api/invitations/a/../b" names no invitation.
void installTeamRoutes(BackendRoutes& routes, BackendRoutes& prefixRoutes);

}  // namespace testservers
