#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "desktop/Pasteboard.h"

namespace sablix {

// Where a paste goes: the key (with its modifier flags) that pastes there, and the selections the
// snippet must be on for that key to paste it.
struct PasteTarget {
    int keyCode = 0;
    uint64_t flags = 0;
    std::vector<desktop::Pasteboard*> selections;
};

// Chooses the paste keys by the window class (WM_CLASS) of the window in front. Terminal
// emulators do not paste on Control-V (xterm receives a literal ^V), but every common one pastes
// on Shift-Insert, some from CLIPBOARD and some from PRIMARY: they get the snippet on both.
class PasteTargetPolicy {
public:
    PasteTargetPolicy(desktop::Pasteboard& clipboard, desktop::Pasteboard& primarySelection);

    // An empty class (no window in front, or one that does not say) is an ordinary window.
    PasteTarget forWindowClass(std::string_view windowClass) const;

private:
    desktop::Pasteboard& clipboard_;
    desktop::Pasteboard& primarySelection_;
};

}  // namespace sablix
