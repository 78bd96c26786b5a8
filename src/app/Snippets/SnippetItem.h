#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Clock.h"
#include "platform/Date.h"
#include "platform/Uuid.h"

namespace sablix {

class SnippetSettings;
struct SnippetValidationResult;

enum class SnippetVisibility { personal, team, editors };

std::string_view rawValue(SnippetVisibility visibility);
std::optional<SnippetVisibility> snippetVisibilityFromRaw(std::string_view raw);

// How dates travel in a coded snippet: the personal library keeps seconds since 2001 (a JSON
// number with its fraction); the team database and the backend use ISO 8601 text.
enum class DateCoding { secondsSince2001, iso8601 };

// A record that could not be decoded; the message says which key was at fault.
class SnippetCodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One snippet: a trigger word (typed after ";") and the content that replaces it.
struct SnippetItem {
    platform::Uuid id;
    std::string snippetTitle;
    std::string snippet;
    std::vector<std::string> tags;
    std::optional<platform::Uuid> teamId;
    std::optional<platform::Uuid> ownerId;
    SnippetVisibility visibility = SnippetVisibility::personal;
    int64_t version = 1;
    platform::Date createdAt;
    platform::Date updatedAt;
    std::optional<platform::Date> deletedAt;

    // A new personal snippet of version 1, created and updated now. Tags are lower-cased.
    SnippetItem(platform::Uuid id, std::string snippetTitle, std::string snippet, std::vector<std::string> tags,
                const platform::Clock& clock);
    // Every field as given, except that tags are lower-cased.
    SnippetItem(platform::Uuid id, std::string snippetTitle, std::string snippet, std::vector<std::string> tags,
                std::optional<platform::Uuid> teamId, std::optional<platform::Uuid> ownerId,
                SnippetVisibility visibility, int64_t version, platform::Date createdAt, platform::Date updatedAt,
                std::optional<platform::Date> deletedAt);

    bool isPersonal() const { return !teamId.has_value(); }
    std::string snippetPreview() const;  // the first 30 characters of the content

    // Validation against the other snippets of the library (the snippet itself may be among
    // them); reads the maximum title length and the auto-remove-spaces flag from the settings.
    SnippetValidationResult validate(const std::vector<SnippetItem>& existingSnippets,
                                     const SnippetSettings& settings) const;

    // JSON coding. Decoding fills absent optional keys (tags, visibility, version, dates at the
    // clock's present) and throws SnippetCodingError for a record it cannot read.
    nlohmann::json toJson(DateCoding dates = DateCoding::secondsSince2001) const;
    static SnippetItem fromJson(const nlohmann::json& json, DateCoding dates, const platform::Clock& clock);

    friend bool operator==(const SnippetItem& a, const SnippetItem& b);
};

}  // namespace sablix
