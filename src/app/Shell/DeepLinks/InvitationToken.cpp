#include "Shell/DeepLinks/InvitationToken.h"

#include "platform/Utf8.h"

namespace sablix {

namespace {

bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }

bool isPathOrQueryCharacter(char32_t c) { return c == '/' || c == '?' || c == '#' || c == '%' || c == '\\'; }

}  // namespace

bool InvitationToken::isAcceptable(std::string_view token) {
    if (token.empty() || token == "." || token == "..") return false;
    for (size_t at = 0; at < token.size();) {
        const auto sequence = platform::utf8::decode(token, at);
        if (sequence.length == 0) return false;
        if (isControl(sequence.codePoint) || isPathOrQueryCharacter(sequence.codePoint)) return false;
        at += sequence.length;
    }
    return true;
}

}  // namespace sablix
