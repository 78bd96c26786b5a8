#pragma once
#include <exception>

namespace sablix {

// The generation was stopped by its owner. Whoever started it shows nothing for it.
class CancellationError : public std::exception {
public:
    const char* what() const noexcept override { return "The operation was cancelled."; }
};

}  // namespace sablix
