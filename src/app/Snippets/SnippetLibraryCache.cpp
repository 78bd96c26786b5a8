#include "Snippets/SnippetLibraryCache.h"

namespace sablix {

std::optional<std::vector<SnippetItem>> SnippetLibraryCache::items(size_t fingerprint) const {
    std::shared_ptr<const std::vector<SnippetItem>> held;
    {
        std::lock_guard lock(mutex_);
        if (fingerprint == 0 || fingerprint != fingerprint_) return std::nullopt;
        held = items_;
    }
    return *held;  // copied outside the lock
}

bool SnippetLibraryCache::holds(size_t fingerprint) const {
    std::lock_guard lock(mutex_);
    return fingerprint != 0 && fingerprint == fingerprint_;
}

void SnippetLibraryCache::remember(size_t fingerprint, std::vector<SnippetItem> items) {
    auto held = std::make_shared<const std::vector<SnippetItem>>(std::move(items));
    std::lock_guard lock(mutex_);
    fingerprint_ = fingerprint;
    items_ = std::move(held);
}

}  // namespace sablix
