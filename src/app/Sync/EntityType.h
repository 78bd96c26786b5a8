#pragma once
#include <optional>
#include <string_view>

namespace sablix {

// What a queued change alters. Only snippets are ever queued by the application.
enum class EntityType { snippet, team, teamMember };

std::string_view rawValue(EntityType type);
std::optional<EntityType> entityTypeFromRaw(std::string_view raw);

}  // namespace sablix
