#pragma once
#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Xlib's macros collide with names in Qt and the standard library: this header is included only
// by the X11 layers' sources, never by a public header.

namespace desktop {

// One Xlib connection of the X11 layers' own. Xlib's default handlers end the process on a
// protocol error or a broken connection; a connection opened here instead counts its errors and
// is marked lost, so a dead X server fails calls (and ends a tap's run) instead of exiting.
// Opening one makes the process ignore SIGPIPE (unless a handler is set), for the same reason.
// Not locked: each owner serialises its own use of the connection.
class X11Display {
public:
    // Opens the display by name ($DISPLAY when empty); null when it cannot be opened.
    static std::unique_ptr<X11Display> open(const std::string& name = {});
    // Puts the error handlers on top again. Another library (Qt's xcb platform among them)
    // may replace the process-wide handlers after a connection was opened; handlers found
    // there are kept and still called for connections that are not ours.
    static void installErrorHandlers();

    ~X11Display();
    X11Display(const X11Display&) = delete;
    X11Display& operator=(const X11Display&) = delete;

    Display* get() const { return display_; }
    Window root() const { return DefaultRootWindow(display_); }
    // True once the connection has broken; every later call on it returns at once.
    bool lost() const { return lost_.load(); }
    // Protocol errors seen so far on this connection.
    uint64_t errorCount() const { return errors_.load(); }
    // XSync, then whether the connection is alive and no protocol error came since `since`.
    bool syncWithoutErrorSince(uint64_t since);

    // Loads this connection's copy of the keymap and makes the server report changes to it.
    // Xlib asks for those reports only when it first loads the keymap, and does not send the
    // request at once: a change made before the request arrives would go unnoticed for good.
    void startFollowingKeymap();
    // Reads the events queued for this connection, following keymap changes (MappingNotify),
    // so keycode ↔ keysym lookups see keys remapped since. With `roundTrip`, first waits for
    // the server, so every change it made before this call is seen. The layers select no other
    // events.
    void followKeymapChanges(bool roundTrip = false);
    bool hasExtension(const char* name);
    Atom atom(const char* name);
    // The atom's name; empty when it has none.
    std::string atomName(Atom atom);
    // An unmapped window of this connection that reports changes to its properties.
    Window createPropertyWindow();
    // Waits until the connection, or `alsoFd` when it is not negative, may have something to read,
    // or the deadline (if any) passes.
    void waitForInput(std::optional<std::chrono::steady_clock::time_point> deadline, int alsoFd);

    // A 32-bit property (CARDINAL, WINDOW, ATOM …) as its values; none when absent or of another type.
    std::optional<std::vector<unsigned long>> property32(Window window, Atom property, Atom type);
    // An 8-bit property's bytes, whatever its type; none when absent.
    std::optional<std::string> property8(Window window, Atom property);

private:
    explicit X11Display(Display* display);
    friend struct X11DisplayRegistry;

    Display* display_;
    std::atomic<bool> lost_{false};
    std::atomic<uint64_t> errors_{0};
};

}  // namespace desktop
