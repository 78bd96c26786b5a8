#pragma once
#include <string_view>

namespace posix {

// Writes every byte, retrying short writes and interruptions; false on an I/O error (errno set).
bool writeAll(int fd, std::string_view bytes);

}  // namespace posix
