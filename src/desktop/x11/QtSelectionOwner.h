#pragma once
#include <cstdint>

#include "desktop/x11/X11Pasteboard.h"

namespace desktop {

// The selections this process's Qt owns (the user copied in one of our windows). Qt answers
// other clients' requests on the GUI thread, so a read on that thread that went through X
// would wait for itself; on the GUI thread this reads Qt's own clipboard instead. Create it
// after the QGuiApplication; it answers nothing unless Qt runs on X11.
class QtSelectionOwner final : public X11Pasteboard::InProcessOwner {
public:
    QtSelectionOwner();

    bool isOwnWindow(unsigned long window) override;
    bool canAnswer(unsigned long ownerWindow) override;
    std::optional<std::string> text(X11Pasteboard::Selection selection) override;

private:
    // Every resource Qt's X connection creates has an id inside this range.
    uint32_t resourceBase_ = 0;
    uint32_t resourceMask_ = 0;
};

}  // namespace desktop
