#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sablix {

// Reading the update feed, an RSS document with one item per release.
class Appcast {
public:
    static constexpr std::string_view kShortVersionAttribute = "sparkle:shortVersionString=\"";
    // The most of the feed that is read: years of releases with their notes inline stay far below.
    static constexpr int64_t kMaxFeedBytes = 8 * 1024 * 1024;

    struct Release {
        std::string version;      // its short version string
        std::string downloadURL;  // the enclosure's url, or the item's link when there is none
    };

    // The text of the first double-quoted short-version attribute anywhere in the document,
    // found by a plain search; none when there is none or the document is not UTF-8.
    static std::optional<std::string> firstShortVersion(std::string_view document);

    // The release with the highest version; none when the document is not well-formed XML or
    // no item names a version.
    static std::optional<Release> newestRelease(std::string_view document);
};

}  // namespace sablix
