#include "Shell/DeepLinks/LinkText.h"

#include <cstdio>

#include <QStringList>

namespace sablix {

namespace {

// "\xNN" for every byte of C0, DEL and the UTF-8 form of C1 (C2 80 to C2 9F).
std::string escapedControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](unsigned char byte) {
        char code[5];
        std::snprintf(code, sizeof code, "\\x%02X", byte);
        out += code;
    };
    for (size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const bool c1 = byte == 0xC2 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[at + 1]) <= 0x9F;
        if (byte < 0x20 || byte == 0x7F) {
            escape(byte);
        } else if (c1) {
            escape(byte);
            escape(static_cast<unsigned char>(text[++at]));
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

}  // namespace

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
    return escapedControls(text);
}

}  // namespace sablix
