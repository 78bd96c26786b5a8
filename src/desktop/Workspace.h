#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace desktop {

// An application with a top-level window on the desktop.
struct RunningApplication {
    int64_t processIdentifier = 0;  // 0 when the window does not say
    std::string windowClass;        // the window's WM_CLASS class name
    uint64_t window = 0;            // the top-level X window
};

// The desktop's view of applications: which one is frontmost, bringing one forward, opening URLs.
class Workspace {
public:
    virtual ~Workspace() = default;
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    virtual bool activate(const RunningApplication& application) = 0;
    // A window manager runs: it gives the focus to the windows it maps.
    virtual bool hasWindowManager() = 0;
    virtual bool openURL(const std::string& url) = 0;
    // Opens the URL, and tells `opened` later on the calling thread, whose event loop must run,
    // whether the desktop could hand it to a browser. Here: what openURL answers, at once.
    virtual void openURLAndReport(const std::string& url, std::function<void(bool opened)> opened) {
        opened(openURL(url));
    }
};

}  // namespace desktop
