#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Snippets/SnippetItem.h"

namespace sablix {

// The triggers the engine expands, in match order: ";" plus the lower-cased title of every
// personal snippet, then of every team snippet, each trigger once (the first snippet that gives
// it wins), snippets with an empty title left out. Immutable once built, so one key press can
// work on a snapshot while a rebuild replaces it.
class TriggerCache {
public:
    struct Match {
        const std::string& trigger;
        const SnippetItem& snippet;
    };

    TriggerCache() = default;
    // all: the personal snippets followed by the team's, each group in its own order.
    explicit TriggerCache(std::vector<SnippetItem> all);
    // The same, taking from the cache it replaces the triggers of titles that did not change.
    TriggerCache(std::vector<SnippetItem> all, const TriggerCache& previous);

    // The entry whose trigger ends the lower-cased buffer; the earliest one when several do.
    // Only a trigger at the very end can have just been typed: one found further back was
    // typed earlier (before a Delete key, or before the cache changed), and erasing it from
    // the end would hit the wrong characters. The cost does not grow with the number of
    // triggers.
    std::optional<Match> match(std::string_view lowercasedBuffer) const;

    size_t size() const { return triggers_.size(); }
    bool empty() const { return triggers_.empty(); }
    const std::string& trigger(size_t index) const { return triggers_[index]; }
    const SnippetItem& snippet(size_t index) const { return snippets_[index]; }
    // The snippet of every entry, in cache order: where nested references are looked up.
    const std::vector<SnippetItem>& snippets() const { return snippets_; }

    static std::string triggerFor(const SnippetItem& snippet);

private:
    void add(std::string trigger, SnippetItem snippet);

    std::vector<std::string> triggers_;
    std::vector<SnippetItem> snippets_;
    // Entries by the part of their trigger after its last ";": the part of the buffer after
    // its last ";" names the only candidates. Each list keeps cache order.
    std::unordered_map<std::string, std::vector<size_t>> byTail_;
};

}  // namespace sablix
