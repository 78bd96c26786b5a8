#pragma once
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace testsupport {

// A private X server for one test program: Xvfb picks a free display number itself
// (-displayfd), and the server is stopped by its PID when the object goes away.
class XvfbServer {
public:
    // Extra arguments, for example {"-extension", "RECORD"} to start without an extension.
    explicit XvfbServer(std::vector<std::string> extraArguments = {});
    ~XvfbServer();

    bool started() const { return !display_.empty(); }
    const std::string& display() const { return display_; }  // ":N"
    // Sets DISPLAY for this process (and the programs it starts).
    void exportDisplay() const;
    // Starts matchbox-window-manager on this display; stopped with the server.
    bool startWindowManager();

private:
    std::unique_ptr<ChildProcess> server_;
    std::unique_ptr<ChildProcess> windowManager_;
    std::string display_;
};

}  // namespace testsupport
