#pragma once
#include <string>
#include <string_view>

namespace posix {

// Text from outside the program (an update feed, a server's answer, a link, a file name) as it may
// enter one line of a log. Each byte of a control character reads as "\xNN": C0 and DEL, and the
// UTF-8 forms of the C1 controls and of the line and paragraph separators; a backslash reads as
// "\\". Such text can then neither end its line and forge the next nor pass for an escape of its
// own. Every other byte is kept as it is.
std::string escapedForLog(std::string_view text);

}  // namespace posix
