#pragma once
#include <string>

#include "desktop/Accessibility.h"

namespace desktop {

// On X11 nothing has to be granted: the process may watch and post keys when its display opens
// and offers RECORD (to watch) and XTEST (to post). Other applications' text elements are not
// reachable, so there is never a selected-text range and the caret is placed by arrow keys.
class X11Accessibility final : public Accessibility {
public:
    // The display by name; $DISPLAY when empty.
    explicit X11Accessibility(std::string displayName = {});

    // With prompt true, a missing piece is logged, since there is no dialog that could grant it.
    bool isProcessTrusted(bool prompt) override;
    std::optional<TextRange> focusedSelectedTextRange(const RunningApplication& application) override;
    bool setFocusedSelectedTextRange(const RunningApplication& application, TextRange range) override;

private:
    std::string displayName_;
};

}  // namespace desktop
