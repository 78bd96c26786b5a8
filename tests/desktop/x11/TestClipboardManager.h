#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "desktop/x11/X11Pasteboard.h"

// A clipboard manager like the ones desktops run: owns CLIPBOARD_MANAGER on its own connection
// and, asked to SAVE_TARGETS, copies the clipboard (fetching its targets and data) into a
// pasteboard of its own, which takes the CLIPBOARD over, before it answers.
class TestClipboardManager {
public:
    explicit TestClipboardManager(const std::string& display);
    ~TestClipboardManager();
    bool started() const { return display_ != nullptr; }

private:
    void serve();

    desktop::X11Pasteboard keeper_;
    struct _XDisplay* display_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
