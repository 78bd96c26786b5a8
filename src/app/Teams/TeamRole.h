#pragma once
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace sablix {

// A member's role in a team, lowest first: the declaration order is the rank, so the comparison
// operators of the enumeration order the roles.
enum class TeamRole { viewer, editor, admin, owner };

std::string_view rawValue(TeamRole role);
// Exact and case-sensitive: "Admin" is no role.
std::optional<TeamRole> teamRoleFromRaw(std::string_view raw);
const std::array<TeamRole, 4>& allTeamRoles();
// The raw value with its first letter capitalised ("Admin").
std::string displayName(TeamRole role);
// The one right the client derives from a role: it gates the team settings and member controls.
bool canManageMembers(TeamRole role);

}  // namespace sablix
