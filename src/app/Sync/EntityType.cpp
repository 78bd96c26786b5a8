#include "Sync/EntityType.h"

#include "platform/EnumTable.h"

namespace sablix {

namespace {

constexpr platform::EnumTable<EntityType, 3> kEntityTypeTable{{
    {EntityType::snippet, "snippet"},
    {EntityType::team, "team"},
    {EntityType::teamMember, "teamMember"},
}};

}  // namespace

std::string_view rawValue(EntityType value) { return kEntityTypeTable.raw(value); }

std::optional<EntityType> entityTypeFromRaw(std::string_view raw) { return kEntityTypeTable.parse(raw); }

}  // namespace sablix
