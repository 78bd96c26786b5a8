#pragma once
#include <memory>
#include <string>

#include "support/ChildProcess.h"

namespace testsupport {

// A GTK 3 one-line entry in a window of its own (python3-gi), another toolkit's text field to
// type into. It writes its whole text to a file at every change, which contents() reads. The
// python process is stopped by its PID when the object goes away.
class GtkEntryField {
public:
    GtkEntryField();
    ~GtkEntryField();
    GtkEntryField(const GtkEntryField&) = delete;
    GtkEntryField& operator=(const GtkEntryField&) = delete;

    // Starts it on the display (":N") and waits until it is shown; false when it did not start.
    bool start(const std::string& display);
    // Gives the window the keyboard focus; false on failure.
    bool focus();
    // The entry's text as last written, UTF-8.
    std::string contents() const;
    // Empties the entry; false when it did not do so in time.
    bool clear();

private:
    std::string title_;
    std::string directory_;
    std::string display_;
    unsigned long window_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace testsupport
