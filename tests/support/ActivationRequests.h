#pragma once
#include <string>
#include <vector>

struct _XDisplay;

namespace testsupport {

// The requests to the window manager to activate a window (_NET_ACTIVE_WINDOW messages sent to
// the root window), as any client on the display may watch them. An application that brings
// itself forward while its window is shown sends one at a moment the active window does not
// tell: it reads the same whether the request is still to come or was handled already. Once the
// request is seen, a focus change the test asks for afterwards is handled after it.
class ActivationRequests {
public:
    // Watches from now on; nothing is seen when the display cannot be opened.
    explicit ActivationRequests(const std::string& display);
    ~ActivationRequests();
    ActivationRequests(const ActivationRequests&) = delete;
    ActivationRequests& operator=(const ActivationRequests&) = delete;

    // The requests seen since construction for any window but `except`.
    size_t countExcept(unsigned long except);

private:
    _XDisplay* display_ = nullptr;
    unsigned long activeWindowAtom_ = 0;
    std::vector<unsigned long> windows_;  // the window of each request, in order
};

}  // namespace testsupport
