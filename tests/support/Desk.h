#pragma once
#include <set>
#include <string>

#include "support/ProbedWindow.h"
#include "support/SablixSession.h"
#include "support/TkTextField.h"
#include "support/XvfbServer.h"

namespace e2e {

// One person's desktop in an end-to-end test: a private X display with a window manager and a Tk
// text field (another application to type into), and `sablix` on it, seen through its item probe.
// A test prepares and starts the session itself. Helpers that drive the display fail the calling
// test when the display refuses.
class Desk {
public:
    // Starts the display, its window manager and the Tk field.
    bool open();
    const std::string& display() const { return server.display(); }

    // The titles of the rows the snippet list shows.
    std::set<std::string> rows() const;
    bool listShows(const std::set<std::string>& expected, int timeoutMs = 10000) const;
    void click(const std::string& name, const char* button = "1") const;
    void type(const std::string& text) const;
    void key(const std::string& keys) const;
    // The id of the shown main window, empty when there is none.
    std::string mainWindow() const;
    // Brings the window (the main window when none is named) in front; under the window manager
    // one window at a time is.
    void activate(std::string window = {}) const;

    testsupport::XvfbServer server;
    testsupport::TkTextField field;
    ProbedWindow probed{server.display()};
    SablixSession session{server.display()};
};

}  // namespace e2e
