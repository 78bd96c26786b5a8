#pragma once
#include <string>
#include <system_error>

namespace posix {

// How a run of system calls ended: error 0 when every step worked, else the errno of the step that
// failed.
struct Result {
    int error = 0;

    explicit operator bool() const { return error == 0; }
    std::string message() const { return std::generic_category().message(error); }
};

}  // namespace posix
