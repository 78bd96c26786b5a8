#pragma once
#include <nlohmann/json.hpp>

#include "Snippets/SnippetItem.h"
#include "platform/Clock.h"
#include "platform/Date.h"

namespace sablix {

// The local and the server version of a snippet that disagree, and when that was found.
struct ConflictData {
    SnippetItem localVersion;
    SnippetItem serverVersion;
    platform::Date detectedAt;

    // Snippets and dates are coded with ISO 8601 dates. Decoding throws SnippetCodingError; the
    // clock dates snippets that carry no dates.
    nlohmann::json toJson() const;
    static ConflictData fromJson(const nlohmann::json& json, const platform::Clock& clock);

    friend bool operator==(const ConflictData&, const ConflictData&) = default;
};

}  // namespace sablix
