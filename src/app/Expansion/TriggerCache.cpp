#include "TriggerCache.h"

#include <unordered_set>

#include "platform/TextRules.h"

namespace sablix {

TriggerCache::TriggerCache(const std::vector<SnippetItem>& all) {
    std::unordered_set<std::string> seen;
    for (const bool team : {false, true}) {
        for (const auto& snippet : all) {
            if (snippet.teamId.has_value() != team || snippet.snippetTitle.empty()) continue;
            std::string trigger = triggerFor(snippet);
            if (!seen.insert(trigger).second) continue;
            add(std::move(trigger), snippet);
        }
    }
}

std::string TriggerCache::triggerFor(const SnippetItem& snippet) {
    return ";" + platform::text::lowercased(snippet.snippetTitle);
}

void TriggerCache::add(std::string trigger, const SnippetItem& snippet) {
    const size_t index = triggers_.size();
    byTail_[trigger.substr(trigger.rfind(';') + 1)].push_back(index);
    triggers_.push_back(std::move(trigger));
    snippets_.push_back(snippet);
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
