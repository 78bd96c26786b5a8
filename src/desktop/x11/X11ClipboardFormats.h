#pragma once
#include <optional>
#include <string>
#include <utility>

#include "desktop/Pasteboard.h"
#include "desktop/x11/X11Atoms.h"

namespace desktop {

// How the bytes of a reply, or of a stored format, encode text.
enum class TextEncoding { none, utf8, latin1, utf8OrLatin1, compound };

// A type that plain text travels under.
struct TextTarget {
    X11Atom type;
    TextEncoding encoding;
    // Offered to other clients and asked of owners. COMPOUND_TEXT is only read, when an owner
    // answers with it: writing it right would need the locale's converters.
    bool offered;
};

// Every text type, the most wanted first: UTF-8, then the types that name no charset (what
// owners send under them is UTF-8 or, from older ones, Latin-1), Latin-1 STRING last.
inline constexpr TextTarget kTextTargets[] = {
    // What most owners offer.
    {X11Atom::utf8String, TextEncoding::utf8, true},
    {X11Atom::textPlainUtf8, TextEncoding::utf8, true},
    // Some owners offer only one of these.
    {X11Atom::textPlain, TextEncoding::utf8OrLatin1, true},
    {X11Atom::text, TextEncoding::utf8OrLatin1, true},
    {X11Atom::compoundText, TextEncoding::compound, false},
    {X11Atom::string, TextEncoding::latin1, true},
};

// The text type, or null when `type` is not one (or not an atom of ours).
const TextTarget* textTarget(std::optional<X11Atom> type);
TextEncoding encodingOf(std::optional<X11Atom> type);
// Targets that ask the owner to do something rather than name a data format.
bool isMetaTarget(std::optional<X11Atom> target);

// The bytes as UTF-8 text, or none when they are not safely text.
std::optional<std::string> decodeText(TextEncoding encoding, const std::string& bytes);
// The plain text among the formats, if any, from the most wanted text type down.
std::optional<std::string> textOf(const PasteboardContents& contents);
// Text as sent under an offered text type: the type the bytes go as, and the bytes.
std::pair<X11Atom, std::string> encodeText(const TextTarget& target, const std::string& text);
// Contents that hold only the text, as UTF-8.
PasteboardContents plainTextContents(const std::string& text);

}  // namespace desktop
