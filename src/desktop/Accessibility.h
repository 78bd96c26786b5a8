#pragma once
#include <cstdint>
#include <optional>

#include "desktop/Workspace.h"

namespace desktop {

struct TextRange {
    int64_t location = 0;  // in UTF-16 units
    int64_t length = 0;
};

// Whether the process may watch and post keys, and the focused text element's selection.
class Accessibility {
public:
    virtual ~Accessibility() = default;
    // With prompt true the user is asked to grant access (where the desktop can ask).
    virtual bool isProcessTrusted(bool prompt) = 0;
    virtual std::optional<TextRange> focusedSelectedTextRange(const RunningApplication& application) = 0;
    virtual bool setFocusedSelectedTextRange(const RunningApplication& application, TextRange range) = 0;
};

}  // namespace desktop
