#pragma once
#include <string>
#include <vector>

#include "Snippets/SnippetItem.h"

namespace testsupport {

// Snippets a0 … a(n-1), each holding its own marker and a reference to every other one: the
// worst case for nested expansion.
inline std::vector<sablix::SnippetItem> mutualNest(int n, const platform::Clock& clock) {
    std::vector<sablix::SnippetItem> out;
    for (int i = 0; i < n; ++i) {
        std::string content = "x" + std::to_string(i) + " ";
        for (int j = 0; j < n; ++j)
            if (j != i) content += "{snippet:a" + std::to_string(j) + "}";
        out.emplace_back(platform::Uuid::generate(), "a" + std::to_string(i), content, std::vector<std::string>{},
                         clock);
    }
    return out;
}

}  // namespace testsupport
