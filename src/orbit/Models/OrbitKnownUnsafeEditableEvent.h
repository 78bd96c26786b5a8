#pragma once
#include <optional>
#include <string_view>

namespace orbit {

// Events the client itself relies on; a before-send hook that drops one is worth a warning.
class OrbitKnownUnsafeEditableEvent {
public:
    enum Case {
        snapshot,
        screen,
        set,
        surveyDismissed,
        surveySent,
        surveyShown,
        identify,
        groupidentify,
        createAlias,
        featureFlagCalled,
    };

    constexpr OrbitKnownUnsafeEditableEvent(Case value) : value_(value) {}

    // Exact and case-sensitive: nothing for any other name.
    static std::optional<OrbitKnownUnsafeEditableEvent> fromRawValue(std::string_view name);
    static bool contains(std::string_view name) { return fromRawValue(name).has_value(); }

    std::string_view rawValue() const;
    Case value() const { return value_; }

private:
    Case value_;
};

}  // namespace orbit
