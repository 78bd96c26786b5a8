#include "desktop/x11/X11ClipboardFormats.h"

#include "platform/Utf8.h"

namespace desktop {

const TextTarget* textTarget(std::optional<X11Atom> type) {
    if (!type) return nullptr;
    for (const auto& target : kTextTargets)
        if (target.type == *type) return &target;
    return nullptr;
}

TextEncoding encodingOf(std::optional<X11Atom> type) {
    const TextTarget* target = textTarget(type);
    return target ? target->encoding : TextEncoding::none;
}

bool isMetaTarget(std::optional<X11Atom> target) {
    if (!target) return false;
    switch (*target) {
    case X11Atom::targets:
    case X11Atom::timestamp:
    case X11Atom::multiple:
    case X11Atom::incr:
    case X11Atom::saveTargets:
    case X11Atom::deleteTarget:
    case X11Atom::insertSelection:
    case X11Atom::insertProperty: return true;
    default: return false;
    }
}

// COMPOUND_TEXT counts only without escape sequences: it then is Latin-1, and anything else would
// need the locale's converters to be decoded right.
std::optional<std::string> decodeText(TextEncoding encoding, const std::string& bytes) {
    switch (encoding) {
    case TextEncoding::utf8: return bytes;
    case TextEncoding::latin1: return platform::utf8::fromLatin1(bytes);
    case TextEncoding::utf8OrLatin1: return platform::utf8::isValid(bytes) ? bytes : platform::utf8::fromLatin1(bytes);
    case TextEncoding::compound:
        if (bytes.find('\x1b') != std::string::npos) return std::nullopt;
        return platform::utf8::fromLatin1(bytes);
    case TextEncoding::none: break;
    }
    return std::nullopt;
}

std::optional<std::string> textOf(const PasteboardContents& contents) {
    for (const auto& target : kTextTargets)
        for (const auto& [name, bytes] : contents.formats)
            if (name == X11Atoms::name(target.type))
                if (auto text = decodeText(target.encoding, bytes)) return text;
    return std::nullopt;
}

std::pair<X11Atom, std::string> encodeText(const TextTarget& target, const std::string& text) {
    // STRING is Latin-1 by definition.
    if (target.encoding == TextEncoding::latin1) return {target.type, platform::utf8::toLatin1(text)};
    // TEXT lets the owner choose the encoding; it is not a type of its own.
    return {target.type == X11Atom::text ? X11Atom::utf8String : target.type, text};
}

PasteboardContents plainTextContents(const std::string& text) {
    return PasteboardContents{{{std::string(X11Atoms::name(X11Atom::textPlainUtf8)), text}}};
}

}  // namespace desktop
