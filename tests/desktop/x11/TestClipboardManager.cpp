#include "TestClipboardManager.h"

#include <X11/Xlib.h>
#include <chrono>
#include <poll.h>

TestClipboardManager::TestClipboardManager(const std::string& display) : keeper_(display) {
    display_ = XOpenDisplay(display.c_str());
    if (!display_) return;
    const Window window = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(display_, XInternAtom(display_, "CLIPBOARD_MANAGER", False), window, CurrentTime);
    XSync(display_, False);
    thread_ = std::thread([this] { serve(); });
}

TestClipboardManager::~TestClipboardManager() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (display_) XCloseDisplay(display_);
}

void TestClipboardManager::serve() {
    const Atom saveTargets = XInternAtom(display_, "SAVE_TARGETS", False);
    while (!stopping_) {
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type != SelectionRequest) continue;
            const XSelectionRequestEvent& request = event.xselectionrequest;
            XSelectionEvent reply{SelectionNotify, 0,    True,        display_, request.requestor, request.selection,
                                  request.target,  None, request.time};
            if (request.target == saveTargets) {
                const auto saved = keeper_.contents(std::chrono::seconds(2));
                if (saved && !saved->empty() && keeper_.setContents(*saved)) reply.property = request.property;
            }
            XSendEvent(display_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
            XFlush(display_);
        }
        pollfd descriptor{ConnectionNumber(display_), POLLIN, 0};
        poll(&descriptor, 1, 20);
    }
}
