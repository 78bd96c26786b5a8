#include "desktop/x11/X11Workspace.h"

// Before Xlib, whose macros (None, Bool, Status) would break them.
#include <QProcess>
#include <QString>

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "desktop/x11/X11Display.h"

extern char** environ;

namespace desktop {
namespace {

// The window manager's check window, when a live window manager advertises one.
Window windowManagerCheck(X11Display& x) {
    const Atom check = x.atom("_NET_SUPPORTING_WM_CHECK");
    const auto fromRoot = x.property32(x.root(), check, XA_WINDOW);
    if (!fromRoot || fromRoot->empty() || (*fromRoot)[0] == 0) return 0;
    const Window window = (*fromRoot)[0];
    // A manager that died leaves the root property behind; its window then no longer points at itself.
    const auto fromWindow = x.property32(window, check, XA_WINDOW);
    return fromWindow && !fromWindow->empty() && (*fromWindow)[0] == window ? window : 0;
}

Window activeWindow(X11Display& x) {
    const auto active = x.property32(x.root(), x.atom("_NET_ACTIVE_WINDOW"), XA_WINDOW);
    return active && !active->empty() ? (*active)[0] : 0;
}

Window parentOf(X11Display& x, Window window) {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(x.get(), window, &root, &parent, &children, &count)) return 0;
    if (children) XFree(children);
    return parent;
}

// A window and its WM_CLASS, when it has one.
struct ClassedWindow {
    Window window = 0;
    std::optional<std::string> wmClass;
};

// The window itself or its nearest ancestor that names its class; failing that, the top-level
// window (the child of the root) it belongs to.
ClassedWindow applicationWindow(X11Display& x, Window window) {
    Window topLevel = 0;
    for (Window w = window; w != 0 && w != x.root(); w = parentOf(x, w)) {
        if (auto wmClass = x.property8(w, XA_WM_CLASS)) return {w, std::move(wmClass)};
        topLevel = w;
    }
    return {topLevel, std::nullopt};
}

// The application of the window, but for its process.
RunningApplication describeClassed(const ClassedWindow& classed) {
    RunningApplication application;
    application.window = classed.window;
    if (const auto& wmClass = classed.wmClass) {
        // "instance\0class\0": the class name is the second string.
        const auto end = wmClass->find('\0');
        if (end != std::string::npos) application.windowClass = wmClass->substr(end + 1).c_str();
    }
    return application;
}

std::optional<RunningApplication> describe(X11Display& x, const ClassedWindow& classed) {
    if (classed.window == 0) return std::nullopt;
    RunningApplication application = describeClassed(classed);
    if (const auto pid = x.property32(classed.window, x.atom("_NET_WM_PID"), XA_CARDINAL); pid && !pid->empty())
        application.processIdentifier = static_cast<int64_t>((*pid)[0]);
    return application;
}

// Window properties asked for together and answered in one round trip, each answer as the
// display's property32 / property8 gives it. Every answer is taken or discarded by the end.
class PropertyBatch {
public:
    explicit PropertyBatch(X11Display& x) : connection_(XGetXCBConnection(x.get())) {}
    ~PropertyBatch() {
        for (size_t i = taken_; i < cookies_.size(); ++i) xcb_discard_reply(connection_, cookies_[i].sequence);
    }
    PropertyBatch(const PropertyBatch&) = delete;
    PropertyBatch& operator=(const PropertyBatch&) = delete;

    // Answers are taken in the order asked.
    void askWords(Window window, Atom property, Atom type) { ask(window, property, type, 1024); }
    void askBytes(Window window, Atom property) { ask(window, property, XCB_GET_PROPERTY_TYPE_ANY, 4096); }

    std::optional<std::vector<unsigned long>> words(Atom type) {
        const Reply reply = take();
        if (!reply || reply->type != type || reply->format != 32) return std::nullopt;
        const auto* items = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
        return std::vector<unsigned long>(items, items + xcb_get_property_value_length(reply.get()) / 4);
    }
    std::optional<std::string> bytes() {
        const Reply reply = take();
        if (!reply || reply->type == XCB_NONE || reply->format != 8) return std::nullopt;
        return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           static_cast<size_t>(xcb_get_property_value_length(reply.get())));
    }

private:
    using Reply = std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)>;

    void ask(Window window, Atom property, Atom type, uint32_t longLength) {
        cookies_.push_back(xcb_get_property(connection_, 0, static_cast<xcb_window_t>(window),
                                            static_cast<xcb_atom_t>(property), static_cast<xcb_atom_t>(type), 0,
                                            longLength));
    }
    Reply take() {
        xcb_generic_error_t* error = nullptr;
        Reply reply(xcb_get_property_reply(connection_, cookies_.at(taken_++), &error), &std::free);
        if (error) {
            std::free(error);
            reply.reset();
        }
        return reply;
    }

    xcb_connection_t* connection_;
    std::vector<xcb_get_property_cookie_t> cookies_;
    size_t taken_ = 0;
};

// The window the manager names active, when a live manager names one; described at once when it
// names its own class. Two round trips, where asking one property at a time takes five.
std::optional<RunningApplication> activeApplication(X11Display& x) {
    if (x.lost()) return std::nullopt;
    const Atom check = x.atom("_NET_SUPPORTING_WM_CHECK");
    Window manager = 0, active = 0;
    {
        PropertyBatch fromRoot(x);
        fromRoot.askWords(x.root(), check, XA_WINDOW);
        fromRoot.askWords(x.root(), x.atom("_NET_ACTIVE_WINDOW"), XA_WINDOW);
        const auto checkWindow = fromRoot.words(XA_WINDOW);
        const auto activeWindows = fromRoot.words(XA_WINDOW);
        if (checkWindow && !checkWindow->empty()) manager = (*checkWindow)[0];
        if (activeWindows && !activeWindows->empty()) active = (*activeWindows)[0];
    }
    if (manager == 0) return std::nullopt;
    PropertyBatch batch(x);
    batch.askWords(manager, check, XA_WINDOW);
    if (active != 0) {
        batch.askBytes(active, XA_WM_CLASS);
        batch.askWords(active, x.atom("_NET_WM_PID"), XA_CARDINAL);
    }
    // A manager that died leaves the root property behind; its window then no longer points at itself.
    const auto fromManager = batch.words(XA_WINDOW);
    if (!fromManager || fromManager->empty() || (*fromManager)[0] != manager || active == 0) return std::nullopt;
    auto wmClass = batch.bytes();
    // An ancestor names the class, or the root is active (which belongs to no application).
    if (!wmClass || active == x.root()) return describe(x, applicationWindow(x, active));
    RunningApplication application = describeClassed(ClassedWindow{active, std::move(wmClass)});
    if (const auto pid = batch.words(XA_CARDINAL); pid && !pid->empty())
        application.processIdentifier = static_cast<int64_t>((*pid)[0]);
    return application;
}

}  // namespace

X11Workspace::X11Workspace(std::string displayName) : displayName_(std::move(displayName)) {
    std::lock_guard lock(mutex_);
    ensureConnection();
}

X11Workspace::~X11Workspace() = default;

bool X11Workspace::ensureConnection() {
    if (display_ && !display_->lost()) return true;
    display_ = X11Display::open(displayName_);
    return display_ != nullptr;
}

std::optional<RunningApplication> X11Workspace::frontmostApplication() {
    std::lock_guard lock(mutex_);
    if (!ensureConnection()) return std::nullopt;
    X11Display& x = *display_;
    if (auto application = activeApplication(x)) return application;
    Window focus = 0;
    int revertTo = 0;
    XGetInputFocus(x.get(), &focus, &revertTo);
    if (x.lost() || focus == None || focus == PointerRoot) return std::nullopt;
    return describe(x, applicationWindow(x, focus));
}

bool X11Workspace::activate(const RunningApplication& application) {
    std::lock_guard lock(mutex_);
    if (application.window == 0 || !ensureConnection()) return false;
    X11Display& x = *display_;
    const Window window = application.window;
    const uint64_t errors = x.errorCount();
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(x.get(), window, &attributes) || !x.syncWithoutErrorSince(errors)) return false;

    if (windowManagerCheck(x) != 0) {
        XEvent message{};
        message.xclient.type = ClientMessage;
        message.xclient.window = window;
        message.xclient.message_type = x.atom("_NET_ACTIVE_WINDOW");
        message.xclient.format = 32;
        message.xclient.data.l[0] = 2;  // the request comes from a pager: managers honour it
        message.xclient.data.l[1] = CurrentTime;
        message.xclient.data.l[2] = static_cast<long>(activeWindow(x));
        XSendEvent(x.get(), x.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &message);
    } else {
        XRaiseWindow(x.get(), window);
        XSetInputFocus(x.get(), window, RevertToParent, CurrentTime);
    }
    return x.syncWithoutErrorSince(errors);
}

bool X11Workspace::hasWindowManager() {
    std::lock_guard lock(mutex_);
    return ensureConnection() && windowManagerCheck(*display_) != 0;
}

void X11Workspace::openURLAndReport(const std::string& url, std::function<void(bool opened)> opened) {
    // A failing xdg-open (no browser, no handler) ends at once with its status; one that runs the
    // browser in the foreground would keep the answer back until the browser ends, so after a
    // while it counts as opened and is left to run. The URL travels as an argument, never as shell
    // text.
    static const QString kScript = QStringLiteral(
                                       "command -v xdg-open >/dev/null 2>&1 || exit 127; "
                                       "xdg-open \"$1\" >/dev/null 2>&1 </dev/null & opener=$!; "
                                       "waited=0; "
                                       "while kill -0 $opener 2>/dev/null; do "
                                       "[ $waited -ge %1 ] && exit 0; sleep 0.1; waited=$((waited + 1)); "
                                       "done; "
                                       "wait $opener")
                                       .arg(kOpenerPatienceSeconds * 10);
    auto* process = new QProcess;
    // A session of its own: the browser it may start outlives the application.
    process->setChildProcessModifier([] { ::setsid(); });
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    auto report = std::make_shared<std::function<void(bool)>>(std::move(opened));
    QObject::connect(process, &QProcess::finished, process, [process, report](int code, QProcess::ExitStatus status) {
        if (*report) std::exchange(*report, nullptr)(status == QProcess::NormalExit && code == 0);
        process->deleteLater();
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, report](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;
        if (*report) std::exchange(*report, nullptr)(false);
        process->deleteLater();
    });
    process->start(QStringLiteral("/bin/sh"),
                   {QStringLiteral("-c"), kScript, QStringLiteral("sh"), QString::fromStdString(url)});
}

bool X11Workspace::openURL(const std::string& url) {
    // The shell starts xdg-open in the background and exits at once, so nothing waits for the
    // browser and no child is left unreaped. The URL travels as an argument, never as shell text.
    static const char* kScript =
        "command -v xdg-open >/dev/null 2>&1 || exit 127; "
        "xdg-open \"$1\" >/dev/null 2>&1 </dev/null & exit 0";
    std::vector<std::string> arguments = {"sh", "-c", kScript, "sh", url};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, "/bin/sh", nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace desktop
