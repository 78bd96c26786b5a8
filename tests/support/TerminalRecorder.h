#pragma once
#include <memory>
#include <string>

#include "support/ChildProcess.h"

namespace testsupport {

// A real terminal emulator (xterm, urxvt …) whose shell writes every byte it receives, raw and
// unechoed, into a file: what a program running in the terminal would read from its input.
// The terminal is stopped by its PID when the object goes away.
class TerminalRecorder {
public:
    // program: the emulator's command ("xterm", "urxvt"); it must take -title and -e.
    explicit TerminalRecorder(std::string program);
    ~TerminalRecorder();
    TerminalRecorder(const TerminalRecorder&) = delete;
    TerminalRecorder& operator=(const TerminalRecorder&) = delete;

    // Starts it on the display and waits until its shell reads raw input; false on failure.
    bool start(const std::string& display);
    // Gives its window the keyboard focus.
    bool focus();
    // Every byte received so far.
    std::string received() const;
    // The received text as the line ends up once each erase (DEL or BS) takes back the character
    // before it.
    std::string line() const;

private:
    std::string program_;
    std::string title_;
    std::string directory_;
    std::string display_;
    unsigned long window_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace testsupport
