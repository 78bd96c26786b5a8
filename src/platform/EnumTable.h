#pragma once
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace platform {

// The raw (stored, wire) spelling of each value of an enumeration, in one table. Parsing is exact
// and refuses text the table does not hold: a record with an unknown value must fail to decode
// rather than turn into some default.
template <class Enum, size_t N>
struct EnumTable {
    std::pair<Enum, std::string_view> entries[N];

    constexpr std::string_view raw(Enum value) const {
        for (const auto& [candidate, text] : entries)
            if (candidate == value) return text;
        return {};
    }

    constexpr std::optional<Enum> parse(std::string_view text) const {
        for (const auto& [candidate, spelling] : entries)
            if (spelling == text) return candidate;
        return std::nullopt;
    }
};

}  // namespace platform
