#pragma once
#include <string_view>

namespace sablix {

// An invitation token is spliced into the path of an authenticated request, so only a plain path
// segment may pass: not empty, not "." or "..", well-formed UTF-8, and none of "/", "?", "#",
// "%", "\" or a control character. Whoever keeps or sends a token checks it with this first.
struct InvitationToken {
    static bool isAcceptable(std::string_view token);
};

}  // namespace sablix
