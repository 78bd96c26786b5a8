#include "TriggerCache.h"

#include <unordered_set>

#include "platform/TextRules.h"

namespace sablix {

TriggerCache::TriggerCache(std::vector<SnippetItem> all) : TriggerCache(std::move(all), TriggerCache()) {}

TriggerCache::TriggerCache(std::vector<SnippetItem> all, const TriggerCache& previous) {
    // Lower-casing beyond ASCII goes through the Unicode case mapping, which costs far more than
    // a look-up; ASCII titles are cheaper to lower-case again than to look up.
    std::unordered_map<std::string_view, std::string_view> knownTriggers;
    for (size_t i = 0; i < previous.size(); ++i) {
        const std::string& title = previous.snippets_[i].snippetTitle;
        if (!platform::text::isAscii(title)) knownTriggers.emplace(title, previous.triggers_[i]);
    }
    // Reserved whole, so that the views in `seen` stay on the triggers they were taken from.
    triggers_.reserve(all.size());
    snippets_.reserve(all.size());
    std::unordered_set<std::string_view> seen;
    seen.reserve(all.size());
    for (const bool team : {false, true}) {
        // Each pass takes (moves) only the snippets of its own group.
        for (auto& snippet : all) {
            if (snippet.teamId.has_value() != team || snippet.snippetTitle.empty()) continue;
            const auto known = knownTriggers.find(snippet.snippetTitle);
            std::string trigger = known != knownTriggers.end() ? std::string(known->second) : triggerFor(snippet);
            if (seen.contains(trigger)) continue;
            add(std::move(trigger), std::move(snippet));
            seen.insert(triggers_.back());
        }
    }
}

std::string TriggerCache::triggerFor(const SnippetItem& snippet) {
    return ";" + platform::text::lowercased(snippet.snippetTitle);
}

void TriggerCache::add(std::string trigger, SnippetItem snippet) {
    const size_t index = triggers_.size();
    byTail_[trigger.substr(trigger.rfind(';') + 1)].push_back(index);
    triggers_.push_back(std::move(trigger));
    snippets_.push_back(std::move(snippet));
}

std::optional<TriggerCache::Match> TriggerCache::match(std::string_view buffer) const {
    const size_t semicolon = buffer.rfind(';');
    if (semicolon == std::string_view::npos) return std::nullopt;
    const auto found = byTail_.find(std::string(buffer.substr(semicolon + 1)));
    if (found == byTail_.end()) return std::nullopt;
    for (const size_t index : found->second) {
        if (buffer.ends_with(triggers_[index])) return Match{triggers_[index], snippets_[index]};
    }
    return std::nullopt;
}

}  // namespace sablix
