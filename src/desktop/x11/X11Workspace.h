#pragma once
#include <memory>
#include <mutex>
#include <string>

#include "desktop/Workspace.h"

namespace desktop {

class X11Display;

// Applications as top-level X windows. The frontmost one is the window manager's active window
// (_NET_ACTIVE_WINDOW); without a window manager it is the window holding the input focus,
// climbed to the top-level window that names its class. Safe to call from any thread.
class X11Workspace final : public Workspace {
public:
    // The display by name; $DISPLAY when empty.
    explicit X11Workspace(std::string displayName = {});
    ~X11Workspace() override;
    X11Workspace(const X11Workspace&) = delete;
    X11Workspace& operator=(const X11Workspace&) = delete;

    std::optional<RunningApplication> frontmostApplication() override;
    // Asks the window manager to activate the window, or, without one, raises it and gives it
    // the input focus. False when the window is gone or cannot take the focus.
    bool activate(const RunningApplication& application) override;
    bool hasWindowManager() override;
    // Hands the URL to xdg-open, which runs detached; false when it could not be started.
    bool openURL(const std::string& url) override;
    // Hands the URL to xdg-open and waits for it without blocking: opened(false) when xdg-open is
    // missing or reports a failure, opened(true) when it succeeds or still runs after
    // kOpenerPatienceSeconds (it then runs the browser itself, in the foreground).
    void openURLAndReport(const std::string& url, std::function<void(bool opened)> opened) override;

    static constexpr int kOpenerPatienceSeconds = 3;

private:
    bool ensureConnection();

    std::string displayName_;
    std::mutex mutex_;
    std::unique_ptr<X11Display> display_;
};

}  // namespace desktop
