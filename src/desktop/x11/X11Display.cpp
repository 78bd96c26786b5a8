#include "desktop/x11/X11Display.h"

#include <X11/Xatom.h>
#include <X11/keysym.h>

#include <csignal>
#include <mutex>
#include <poll.h>
#include <unistd.h>
#include <unordered_map>

namespace desktop {

// The process-wide Xlib handlers and the connections they answer for. Xlib calls the handlers
// with a display locked, so the registry's lock is never held across an Xlib call: a thread
// holding it while closing or opening a display would wait for that display's lock, closing a
// cycle with any handler running elsewhere.
struct X11DisplayRegistry {
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::unordered_map<Display*, X11Display*>& displays() {
        static std::unordered_map<Display*, X11Display*> d;
        return d;
    }
    static inline std::atomic<XErrorHandler> previousErrorHandler{nullptr};
    static inline std::atomic<XIOErrorHandler> previousIOErrorHandler{nullptr};

    // Runs `count` on the connection when it is ours; false otherwise.
    template <typename Count>
    static bool countIfOurs(Display* display, Count count) {
        std::lock_guard lock(mutex());
        const auto it = displays().find(display);
        if (it == displays().end()) return false;
        count(*it->second);
        return true;
    }

    static int onError(Display* display, XErrorEvent* event) {
        if (countIfOurs(display, [](X11Display& ours) { ++ours.errors_; })) return 0;
        const XErrorHandler previous = previousErrorHandler.load();
        return previous ? previous(display, event) : 0;
    }

    static int onIOError(Display* display) {
        if (countIfOurs(display, [](X11Display& ours) { ours.lost_ = true; })) return 0;
        const XIOErrorHandler previous = previousIOErrorHandler.load();
        return previous ? previous(display) : 0;
    }

    // Called after onIOError; returning (instead of exiting) leaves the connection dead but the
    // process running.
    static void onIOErrorExit(Display*, void* user) { static_cast<X11Display*>(user)->lost_ = true; }
};

void X11Display::installErrorHandlers() {
    const XErrorHandler previous = XSetErrorHandler(&X11DisplayRegistry::onError);
    if (previous != &X11DisplayRegistry::onError) X11DisplayRegistry::previousErrorHandler = previous;
    const XIOErrorHandler previousIO = XSetIOErrorHandler(&X11DisplayRegistry::onIOError);
    if (previousIO != &X11DisplayRegistry::onIOError) X11DisplayRegistry::previousIOErrorHandler = previousIO;
}

namespace {

// Xlib writes its requests with writev(). A server that exits after libxcb found room to write
// but before the write leaves it to meet a closed socket and raise SIGPIPE, whose default action
// ends the process before the connection can be marked lost. Ignored instead, the write fails
// with EPIPE and the connection's I/O error handler marks it lost like any other break. A
// handler someone else installed is kept.
void ignoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, nullptr);
    });
}

}  // namespace

std::unique_ptr<X11Display> X11Display::open(const std::string& name) {
    ignoreBrokenPipes();
    installErrorHandlers();
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!display) return nullptr;
    std::unique_ptr<X11Display> opened(new X11Display(display));
    XSetIOErrorExitHandler(display, &X11DisplayRegistry::onIOErrorExit, opened.get());
    std::lock_guard lock(X11DisplayRegistry::mutex());
    // A closed connection's address may come back for this one before its entry is gone.
    X11DisplayRegistry::displays()[display] = opened.get();
    return opened;
}

X11Display::X11Display(Display* display) : display_(display) {}

X11Display::~X11Display() {
    // Stays registered while it closes, so an error on the way out is still ours.
    if (lost()) {
        // A connection that broke inside a blocking reply (the recording's) keeps a waiter
        // that makes every later lock of it hang, XCloseDisplay included. Only its socket is
        // released; the small Display structure is left behind.
        ::close(ConnectionNumber(display_));
    } else {
        XCloseDisplay(display_);
    }
    std::lock_guard lock(X11DisplayRegistry::mutex());
    const auto it = X11DisplayRegistry::displays().find(display_);
    if (it != X11DisplayRegistry::displays().end() && it->second == this) X11DisplayRegistry::displays().erase(it);
}

bool X11Display::syncWithoutErrorSince(uint64_t since) {
    if (lost()) return false;
    XSync(display_, False);
    return !lost() && errorCount() == since;
}

void X11Display::startFollowingKeymap() {
    if (lost()) return;
    XKeysymToKeycode(display_, XK_space);
    XSync(display_, False);
}

void X11Display::followKeymapChanges(bool roundTrip) {
    if (roundTrip && !lost()) XSync(display_, False);
    while (!lost() && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
    }
}

bool X11Display::hasExtension(const char* name) {
    int opcode = 0, event = 0, error = 0;
    return !lost() && XQueryExtension(display_, name, &opcode, &event, &error);
}

Atom X11Display::atom(const char* name) { return lost() ? 0 : XInternAtom(display_, name, False); }

std::string X11Display::atomName(Atom atom) {
    std::string out;
    if (lost()) return out;
    if (char* name = XGetAtomName(display_, atom)) {
        out = name;
        XFree(name);
    }
    return out;
}

Window X11Display::createPropertyWindow() {
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    return XCreateWindow(display_, root(), -10, -10, 1, 1, 0, CopyFromParent, InputOnly, CopyFromParent, CWEventMask,
                         &attributes);
}

void X11Display::waitForInput(std::optional<std::chrono::steady_clock::time_point> deadline, int alsoFd) {
    // Xlib reads events into its own queue whenever it waits for a reply or for room to write:
    // poll() on the socket alone would then sleep while a request sits in that queue.
    if (lost() || XEventsQueued(display_, QueuedAfterFlush) > 0) return;
    int timeout = -1;
    if (deadline) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return;
        timeout = int(left);
    }
    pollfd fds[2] = {{ConnectionNumber(display_), POLLIN, 0}, {alsoFd, POLLIN, 0}};
    poll(fds, alsoFd >= 0 ? 2 : 1, timeout);
}

std::optional<std::vector<unsigned long>> X11Display::property32(Window window, Atom property, Atom type) {
    if (lost() || window == 0) return std::nullopt;
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display_, window, property, 0, 1024, False, type, &actualType, &format,
                                          &count, &remaining, &data);
    std::optional<std::vector<unsigned long>> values;
    if (status == Success && actualType == type && format == 32 && data) {
        // Xlib hands 32-bit items out as longs.
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        values.emplace(items, items + count);
    }
    if (data) XFree(data);
    return values;
}

std::optional<std::string> X11Display::property8(Window window, Atom property) {
    if (lost() || window == 0) return std::nullopt;
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display_, window, property, 0, 4096, False, AnyPropertyType, &actualType,
                                          &format, &count, &remaining, &data);
    std::optional<std::string> bytes;
    if (status == Success && actualType != None && format == 8 && data)
        bytes.emplace(reinterpret_cast<const char*>(data), count);
    if (data) XFree(data);
    return bytes;
}

}  // namespace desktop
