#include "Snippets/SnippetSettings.h"

#include <algorithm>

namespace sablix {
namespace {
const char* const kMaxTitleLengthKey = "snippet_max_title_length";
const char* const kAutoRemoveWhitespaceKey = "snippet_auto_remove_whitespace";
}  // namespace

SnippetSettings::SnippetSettings(platform::Defaults& userDefaults, QObject* parent)
    : QObject(parent), userDefaults_(userDefaults) {
    // An out-of-range stored value falls back to the default rather than to the nearer bound.
    const int64_t stored = userDefaults_.integer(kMaxTitleLengthKey);
    if (stored >= kMinTitleLength && stored <= kMaxTitleLength) maxTitleLength_ = static_cast<int>(stored);
    if (userDefaults_.contains(kAutoRemoveWhitespaceKey))
        autoRemoveWhitespace_ = userDefaults_.boolean(kAutoRemoveWhitespaceKey);
}

void SnippetSettings::setMaxTitleLength(int value) {
    maxTitleLength_ = value;
    emit maxTitleLengthChanged(value);
    const int clamped = std::clamp(value, kMinTitleLength, kMaxTitleLength);
    if (clamped != value) {
        setMaxTitleLength(clamped);  // published again, and written there
        return;
    }
    userDefaults_.set(kMaxTitleLengthKey, static_cast<int64_t>(clamped));
}

void SnippetSettings::setAutoRemoveWhitespace(bool value) {
    autoRemoveWhitespace_ = value;
    emit autoRemoveWhitespaceChanged(value);
    userDefaults_.set(kAutoRemoveWhitespaceKey, value);
}

}  // namespace sablix
