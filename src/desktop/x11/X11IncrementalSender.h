#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "desktop/x11/X11Display.h"

namespace desktop {

// Puts a selection's data on a requestor's property: at once when it fits one request, otherwise
// in INCR steps (the size first, then a piece each time the requestor deletes the property,
// ending with an empty one). A transfer whose requestor stops taking pieces is dropped. Used by
// the one thread that owns the connection.
class X11IncrementalSender {
public:
    using Clock = std::chrono::steady_clock;

    // `incr` is the INCR atom of the connection's server.
    X11IncrementalSender(Display* display, Atom incr);

    // The transfer carries its own copy: what is sent may change meanwhile.
    void send(Window requestor, Atom property, Atom type, std::string data);
    // A property of another client's window was deleted: its transfer's next piece, if it has one.
    void propertyDeleted(Window window, Atom property);
    // Drops the transfers that stalled; answers when to look again, none while nothing runs.
    std::optional<Clock::time_point> expire();

private:
    struct Transfer {
        Window requestor;
        Atom property;
        Atom type;
        std::string data;
        size_t offset = 0;
        Clock::time_point lastActivity;
    };

    void finish(std::vector<Transfer>::iterator it);

    Display* const display_;
    const Atom incr_;
    size_t chunkSize_;
    std::vector<Transfer> transfers_;
};

}  // namespace desktop
