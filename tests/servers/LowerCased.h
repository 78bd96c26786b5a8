#pragma once
#include <algorithm>
#include <cctype>
#include <string>

namespace testservers {

// ASCII letters in lower case: header names and ids, which the servers compare in any case.
inline std::string lowerCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace testservers
