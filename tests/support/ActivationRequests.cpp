#include "support/ActivationRequests.h"

#include <X11/Xlib.h>
#include <algorithm>

namespace testsupport {

ActivationRequests::ActivationRequests(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
    if (!display_) return;
    activeWindowAtom_ = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    // The messages go to the root window with this mask, so a second listener hears them too
    // (only the window manager may select the redirect).
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XSync(display_, False);
}

ActivationRequests::~ActivationRequests() {
    if (display_) XCloseDisplay(display_);
}

size_t ActivationRequests::countExcept(unsigned long except) {
    if (!display_) return 0;
    XSync(display_, False);
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == ClientMessage && event.xclient.message_type == activeWindowAtom_)
            windows_.push_back(event.xclient.window);
    }
    return static_cast<size_t>(std::count_if(windows_.begin(), windows_.end(), [&](auto w) { return w != except; }));
}

}  // namespace testsupport
