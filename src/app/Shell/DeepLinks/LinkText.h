#pragma once
#include <optional>
#include <string>
#include <string_view>

#include <QUrl>

namespace sablix {

// What the link handlers read from a link, and how a link may appear in the log.
struct LinkText {
    // The last non-empty segment of the path, percent-decoded. The path is split before it is
    // decoded, so an encoded "/" stays inside its segment, where the caller's check sees it.
    // Empty segments are skipped: "/abc/" names abc and "/" names nothing.
    static std::optional<std::string> lastPathComponent(const QUrl& url);

    // The link's scheme, host and path as written: no user information, query or fragment, which
    // can carry secrets such as a sign-in's tokens, escaped as posix::escapedForLog does.
    static std::string forLog(std::string_view link);
};

}  // namespace sablix
