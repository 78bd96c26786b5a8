#pragma once
#include <string_view>

namespace sablix {

// Compares version texts the way people read them: runs of digits by their value (1.10 after
// 1.9), everything else character by character, and a text that continues where the other
// ends after it (1.2.1 after 1.2). Any text compares, versions or not. Negative, zero or
// positive as a is before, level with or after b.
int compareVersions(std::string_view a, std::string_view b);

inline bool isNewerVersion(std::string_view candidate, std::string_view current) {
    return compareVersions(candidate, current) > 0;
}

}  // namespace sablix
