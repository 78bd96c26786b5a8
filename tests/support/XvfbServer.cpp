#include "support/XvfbServer.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

XvfbServer::XvfbServer(std::vector<std::string> extraArguments) {
    int fds[2];
    if (pipe(fds) != 0) return;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    // The write end must survive exec in the server as fd 3.
    std::vector<std::string> argv = {
        "Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"};
    argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
    server_ = std::make_unique<ChildProcess>(argv);
    ::close(fds[1]);

    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char c;
            const ssize_t n = ::read(fds[0], &c, 1);
            if (n <= 0) break;
            if (c == '\n') break;
            number.push_back(c);
        }
        if (!server_->running()) break;
    }
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
    windowManager_.reset();
    server_.reset();
}

void XvfbServer::exportDisplay() const { setenv("DISPLAY", display_.c_str(), 1); }

bool XvfbServer::startWindowManager() {
    windowManager_ =
        std::make_unique<ChildProcess>(std::vector<std::string>{"matchbox-window-manager", "-use_titlebar", "no"},
                                       std::vector<std::string>{"DISPLAY=" + display_});
    // Wait until the manager has claimed the screen (it sets _NET_SUPPORTING_WM_CHECK).
    for (int i = 0; i < 200; ++i) {
        int code = -1;
        const auto out =
            runCommand({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, &code, 2000, {"DISPLAY=" + display_});
        if (code == 0 && out.find("window id") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

}  // namespace testsupport
