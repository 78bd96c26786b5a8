#pragma once
#include <nlohmann/json.hpp>

#include "Snippets/SnippetItem.h"
#include "platform/Date.h"

namespace sablix {

// The local and the server version of a snippet that disagree, and when that was found.
struct ConflictData {
    SnippetItem localVersion;
    SnippetItem serverVersion;
    platform::Date detectedAt;

    // Snippets and dates are coded with ISO 8601 dates. Decoding throws SnippetCodingError.
    nlohmann::json toJson() const;
    static ConflictData fromJson(const nlohmann::json& json);

    friend bool operator==(const ConflictData&, const ConflictData&) = default;
};

}  // namespace sablix
