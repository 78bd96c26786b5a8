#include "Shell/DeepLinks/LinkText.h"

#include <QStringList>

#include "posix/LogText.h"

namespace sablix {

std::optional<std::string> LinkText::lastPathComponent(const QUrl& url) {
    const QStringList segments = url.path(QUrl::FullyEncoded).split(u'/', Qt::SkipEmptyParts);
    if (segments.isEmpty()) return std::nullopt;
    return QByteArray::fromPercentEncoding(segments.last().toLatin1()).toStdString();
}

std::string LinkText::forLog(std::string_view link) {
    const std::string_view kept = link.substr(0, link.find_first_of("?#"));
    std::string_view scheme, rest = kept;
    if (const size_t colon = kept.find(':'); colon != std::string_view::npos) {
        scheme = kept.substr(0, colon + 1);
        rest = kept.substr(colon + 1);
    }
    std::string text(scheme);
    if (rest.starts_with("//")) {
        const std::string_view afterSlashes = rest.substr(2);
        const size_t pathStart = std::min(afterSlashes.find('/'), afterSlashes.size());
        std::string_view authority = afterSlashes.substr(0, pathStart);
        if (const size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
        text += "//";
        text += authority;
        text += afterSlashes.substr(pathStart);
    } else {
        text += rest;
    }
    return posix::escapedForLog(text);
}

}  // namespace sablix
