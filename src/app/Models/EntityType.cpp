#include "Models/EntityType.h"

namespace sablix {

std::string_view rawValue(EntityType type) {
    switch (type) {
    case EntityType::snippet: return "snippet";
    case EntityType::team: return "team";
    case EntityType::teamMember: return "teamMember";
    }
    return "snippet";
}

std::optional<EntityType> entityTypeFromRaw(std::string_view raw) {
    for (auto type : {EntityType::snippet, EntityType::team, EntityType::teamMember})
        if (rawValue(type) == raw) return type;
    return std::nullopt;
}

}  // namespace sablix
