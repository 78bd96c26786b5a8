#include "Teams/TeamRole.h"

#include "platform/EnumTable.h"

namespace sablix {
namespace {

constexpr platform::EnumTable<TeamRole, 4> kRoles{{
    {TeamRole::viewer, "viewer"},
    {TeamRole::editor, "editor"},
    {TeamRole::admin, "admin"},
    {TeamRole::owner, "owner"},
}};

}  // namespace

std::string_view rawValue(TeamRole role) { return kRoles.raw(role); }

std::optional<TeamRole> teamRoleFromRaw(std::string_view raw) { return kRoles.parse(raw); }

const std::array<TeamRole, 4>& allTeamRoles() {
    static constexpr std::array<TeamRole, 4> all{TeamRole::viewer, TeamRole::editor, TeamRole::admin, TeamRole::owner};
    return all;
}

std::string displayName(TeamRole role) {
    std::string name(rawValue(role));
    if (!name.empty()) name[0] = static_cast<char>(name[0] - 'a' + 'A');
    return name;
}

bool canManageMembers(TeamRole role) { return role == TeamRole::admin || role == TeamRole::owner; }

}  // namespace sablix
