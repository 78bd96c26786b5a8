#pragma once
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Snippets/SnippetItem.h"

namespace sablix {

// The library as one store last held it, decoded: what a clean read decoded or a save encoded,
// under a fingerprint of its stored bytes. The readers and writers of one store share one, so
// that the library is decoded once at start rather than by each of them, and a reader after
// another's save takes the items that save stored instead of decoding them again.
class SnippetLibraryCache {
public:
    // The items stored as the bytes with this fingerprint, if they are the ones held.
    std::optional<std::vector<SnippetItem>> items(size_t fingerprint) const;
    bool holds(size_t fingerprint) const;
    void remember(size_t fingerprint, std::vector<SnippetItem> items);

private:
    mutable std::mutex mutex_;
    size_t fingerprint_ = 0;  // 0: nothing held
    std::shared_ptr<const std::vector<SnippetItem>> items_;
};

}  // namespace sablix
