#include "orbit/Models/OrbitKnownUnsafeEditableEvent.h"

#include <array>
#include <utility>

namespace orbit {
namespace {

using Event = OrbitKnownUnsafeEditableEvent;

constexpr std::array<std::pair<Event::Case, std::string_view>, 10> kRawValues{{
    {Event::snapshot, "$snapshot"},
    {Event::screen, "$screen"},
    {Event::set, "$set"},
    {Event::surveyDismissed, "survey dismissed"},
    {Event::surveySent, "survey sent"},
    {Event::surveyShown, "survey shown"},
    {Event::identify, "$identify"},
    {Event::groupidentify, "$groupidentify"},
    {Event::createAlias, "$create_alias"},
    {Event::featureFlagCalled, "$feature_flag_called"},
}};

}  // namespace

std::optional<OrbitKnownUnsafeEditableEvent> OrbitKnownUnsafeEditableEvent::fromRawValue(std::string_view name) {
    for (const auto& [value, raw] : kRawValues)
        if (raw == name) return Event(value);
    return std::nullopt;
}

std::string_view OrbitKnownUnsafeEditableEvent::rawValue() const {
    for (const auto& [value, raw] : kRawValues)
        if (value == value_) return raw;
    return {};
}

}  // namespace orbit
