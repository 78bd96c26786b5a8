#include "desktop/X11Pasteboard.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "desktop/X11Display.h"
#include "platform/Log.h"

namespace desktop {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUtf8MimeType = "text/plain;charset=utf-8";
// How long a write waits for the owner thread, and how long an INCR transfer may stall before
// it is dropped (the requestor went away).
constexpr std::chrono::milliseconds kWriteTimeout{2000};
constexpr std::chrono::milliseconds kTransferStallTimeout{5000};
// Reading every format of a large clipboard may take longer than one answer; still bounded.
constexpr std::chrono::milliseconds kContentsTimeout{5000};

platform::Log& logger() {
    static platform::Log log = platform::appLog("Pasteboard");
    return log;
}

struct Atoms {
    Atom clipboard, targets, timestamp, multiple, incr, utf8String, text, textPlain, textPlainUtf8, saveTargets,
        deleteAtom, insertSelection, insertProperty, atomPair, property;

    explicit Atoms(Display* d) {
        const char* names[] = {"CLIPBOARD",  "TARGETS",        "TIMESTAMP",   "MULTIPLE",         "INCR",
                               "UTF8_STRING", "TEXT",          "text/plain",  kUtf8MimeType,      "SAVE_TARGETS",
                               "DELETE",     "INSERT_SELECTION", "INSERT_PROPERTY", "ATOM_PAIR", "SABLIX_CLIPBOARD"};
        Atom out[15];
        XInternAtoms(d, const_cast<char**>(names), 15, False, out);
        clipboard = out[0], targets = out[1], timestamp = out[2], multiple = out[3], incr = out[4];
        utf8String = out[5], text = out[6], textPlain = out[7], textPlainUtf8 = out[8], saveTargets = out[9];
        deleteAtom = out[10], insertSelection = out[11], insertProperty = out[12], atomPair = out[13];
        property = out[14];
    }

    // Targets that ask the owner to do something rather than name a data format.
    bool isMeta(Atom a) const {
        return a == targets || a == timestamp || a == multiple || a == saveTargets || a == deleteAtom ||
               a == insertSelection || a == insertProperty || a == incr;
    }
};

std::string atomName(Display* d, Atom atom) {
    std::string out;
    if (char* name = XGetAtomName(d, atom)) {
        out = name;
        XFree(name);
    }
    return out;
}

std::string latin1ToUtf8(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out.push_back(char(c));
        } else {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// STRING is Latin-1 by definition; what it cannot hold becomes '?'.
std::string utf8ToLatin1(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        if (i + length > text.size()) length = 1;
        if (length == 1) {
            out.push_back(c < 0x80 ? char(c) : '?');
        } else {
            const uint32_t code = length == 2 ? ((c & 0x1Fu) << 6 | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu)) : 0x100;
            out.push_back(code <= 0xFF ? char(code) : '?');
        }
        i += length;
    }
    return out;
}

// The plain text among the formats, if any: the UTF-8 ones first, then Latin-1 STRING.
std::optional<std::string> textOf(const PasteboardContents& contents) {
    for (const char* type : {kUtf8MimeType, "UTF8_STRING", "text/plain"})
        for (const auto& [name, bytes] : contents.formats)
            if (name == type) return bytes;
    for (const auto& [name, bytes] : contents.formats)
        if (name == "STRING") return latin1ToUtf8(bytes);
    return std::nullopt;
}

}  // namespace

class X11Pasteboard::Impl {
public:
    explicit Impl(const std::string& displayName) : displayName_(displayName) {
        ownerConnection_ = X11Display::open(displayName_);
        if (!ownerConnection_) {
            logger().error("Cannot open the X display for the clipboard");
            return;
        }
        owner_ = ownerConnection_->get();
        atoms_.emplace(owner_);
        ownerWindow_ = makeWindow(owner_);
        int errorBase = 0;
        if (XFixesQueryExtension(owner_, &fixesEventBase_, &errorBase)) {
            XFixesSelectSelectionInput(owner_, ownerWindow_, atoms_->clipboard,
                                       XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                           XFixesSelectionClientCloseNotifyMask);
        } else {
            fixesEventBase_ = -1;
            logger().error("XFIXES is missing: clipboard changes by other applications go unseen");
        }
        const long maxRequest = std::max(XExtendedMaxRequestSize(owner_), XMaxRequestSize(owner_));
        chunkSize_ = size_t(std::clamp(maxRequest * 4 - 1024, 4096L, 256L * 1024));
        XSync(owner_, False);
        wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ownerThread_ = std::thread([this] { runOwner(); });
    }

    ~Impl() {
        if (ownerThread_.joinable()) {
            stopping_ = true;
            wake();
            ownerThread_.join();
        }
        if (wakeFd_ >= 0) close(wakeFd_);
        if (ownerConnection_ && !ownerLost()) XDestroyWindow(owner_, ownerWindow_);
        ownerConnection_.reset();
        closeReader();
    }

    bool isAvailable() const { return ownerConnection_ && !ownerLost(); }
    int64_t changeCount() const { return changeCount_.load(); }

    std::optional<std::string> string() {
        if (!isAvailable()) return std::nullopt;
        if (auto own = ownedContents()) return textOf(*own);
        const auto deadline = Clock::now() + kReadTimeout;
        std::unique_lock lock(readerMutex_, std::defer_lock);
        if (!lock.try_lock_until(deadline)) return std::nullopt;
        if (!openReader()) return std::nullopt;
        if (XGetSelectionOwner(reader_, atoms_->clipboard) == None) return std::nullopt;
        for (const char* type : {"UTF8_STRING", kUtf8MimeType, "STRING"}) {
            const Atom target = XInternAtom(reader_, type, False);
            bool timedOut = false;
            auto reply = convert(target, deadline, deadline, &timedOut);
            if (timedOut) return std::nullopt;
            // Some owners answer every target with whatever they hold; only text counts here.
            if (!reply || reply->format != 8) continue;
            if (reply->type == XA_STRING) return latin1ToUtf8(reply->data);
            if (reply->type == atoms_->utf8String || reply->type == atoms_->textPlainUtf8) return reply->data;
        }
        return std::nullopt;
    }

    std::optional<PasteboardContents> contents() {
        if (!isAvailable()) return std::nullopt;
        if (auto own = ownedContents()) return own;
        const auto start = Clock::now();
        const auto deadline = start + kContentsTimeout;
        std::unique_lock lock(readerMutex_, std::defer_lock);
        if (!lock.try_lock_until(start + kReadTimeout)) return std::nullopt;
        if (!openReader()) return std::nullopt;
        if (XGetSelectionOwner(reader_, atoms_->clipboard) == None) return std::nullopt;
        bool timedOut = false;
        auto targets = convert(atoms_->targets, Clock::now() + kReadTimeout, deadline, &timedOut);
        if (!targets) return std::nullopt;
        std::vector<Atom> list;
        if (targets->format == 32) {
            const size_t count = targets->data.size() / sizeof(long);
            const long* values = reinterpret_cast<const long*>(targets->data.data());
            for (size_t i = 0; i < count; ++i) {
                const Atom atom = Atom(static_cast<unsigned long>(values[i]));
                if (atom != None && !atoms_->isMeta(atom) && std::find(list.begin(), list.end(), atom) == list.end())
                    list.push_back(atom);
            }
        }
        PasteboardContents out;
        for (Atom target : list) {
            const auto stepDeadline = std::min(deadline, Clock::now() + kReadTimeout);
            auto reply = convert(target, stepDeadline, deadline, &timedOut);
            // An owner that stops answering part way keeps what it gave so far.
            if (timedOut) return out.empty() ? std::nullopt : std::optional<PasteboardContents>(std::move(out));
            // Format-32 replies are lists of atoms or numbers that mean something only to the
            // owner; data formats come as bytes.
            if (!reply || reply->format != 8) continue;
            out.formats.emplace_back(atomName(reader_, target), std::move(reply->data));
        }
        return out;
    }

    bool setContents(const PasteboardContents& contents) {
        if (!isAvailable()) return false;
        auto request = std::make_shared<SetRequest>();
        request->contents = contents;
        auto done = request->done.get_future();
        {
            std::lock_guard lock(commandsMutex_);
            commands_.push_back(request);
        }
        wake();
        if (done.wait_for(kWriteTimeout) != std::future_status::ready) {
            logger().error("Setting the clipboard timed out");
            return false;
        }
        return done.get();
    }

private:
    struct SetRequest {
        PasteboardContents contents;
        std::promise<bool> done;
    };

    // Data too large for one request, handed over piece by piece as the requestor deletes each.
    struct Transfer {
        Window requestor;
        Atom property;
        Atom type;
        std::string data;
        size_t offset = 0;
        Clock::time_point lastActivity;
    };

    struct Reply {
        Atom type = None;
        int format = 0;
        std::string data;
    };

    static Window makeWindow(Display* d) {
        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        return XCreateWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, CopyFromParent, InputOnly, CopyFromParent,
                             CWEventMask, &attributes);
    }

    void wake() {
        if (wakeFd_ < 0) return;
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
    }

    std::optional<PasteboardContents> ownedContents() {
        std::lock_guard lock(stateMutex_);
        if (!owning_) return std::nullopt;
        return owned_;
    }

    // --- The owner thread: the only user of owner_. It never waits on another client.

    void runOwner() {
        const int fd = ConnectionNumber(owner_);
        while (!stopping_ && !ownerLost()) {
            while (!ownerLost() && XPending(owner_) > 0) {
                XEvent event;
                XNextEvent(owner_, &event);
                handleEvent(event);
            }
            runCommands();
            expireTransfers();
            XFlush(owner_);
            if (stopping_ || ownerLost()) break;
            pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            const int timeout = transfers_.empty() ? -1 : 500;
            if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;
            if (fds[1].revents & POLLIN) {
                uint64_t value;
                [[maybe_unused]] ssize_t n = read(wakeFd_, &value, sizeof value);
            }
            if (fds[0].revents & (POLLERR | POLLHUP)) {
                XPending(owner_);  // lets Xlib notice the lost connection
            }
        }
        if (ownerLost()) {
            std::lock_guard lock(stateMutex_);
            owning_ = false;
        }
        failPendingCommands();
    }

    void runCommands() {
        std::deque<std::shared_ptr<SetRequest>> commands;
        {
            std::lock_guard lock(commandsMutex_);
            commands.swap(commands_);
        }
        for (auto& command : commands) command->done.set_value(takeOwnership(std::move(command->contents)));
    }

    void failPendingCommands() {
        std::lock_guard lock(commandsMutex_);
        for (auto& command : commands_) command->done.set_value(false);
        commands_.clear();
    }

    // A server timestamp for our claim: the time of a property change on our own window. Other
    // events that arrive meanwhile are handled as usual.
    std::optional<Time> serverTime() {
        XChangeProperty(owner_, ownerWindow_, atoms_->property, XA_STRING, 8, PropModeAppend, nullptr, 0);
        XFlush(owner_);
        const auto deadline = Clock::now() + kWriteTimeout;
        const int fd = ConnectionNumber(owner_);
        while (!ownerLost()) {
            while (!ownerLost() && XPending(owner_) > 0) {
                XEvent event;
                XNextEvent(owner_, &event);
                if (event.type == PropertyNotify && event.xproperty.window == ownerWindow_ &&
                    event.xproperty.atom == atoms_->property && event.xproperty.state == PropertyNewValue)
                    return event.xproperty.time;
                handleEvent(event);
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, int(left)) < 0 && errno != EINTR) break;
        }
        return std::nullopt;
    }

    bool takeOwnership(PasteboardContents contents) {
        const auto time = serverTime();
        if (!time) return false;
        {
            std::lock_guard lock(stateMutex_);
            owned_ = std::move(contents);
            owning_ = true;
            ownedSince_ = *time;
        }
        XSetSelectionOwner(owner_, atoms_->clipboard, ownerWindow_, *time);
        const bool owns = XGetSelectionOwner(owner_, atoms_->clipboard) == ownerWindow_;
        // Whatever happened on the clipboard before our claim is counted before it.
        while (!ownerLost() && XPending(owner_) > 0) {
            XEvent event;
            XNextEvent(owner_, &event);
            handleEvent(event);
        }
        if (!owns || ownerLost()) {
            std::lock_guard lock(stateMutex_);
            owning_ = false;
            owned_ = {};
            logger().error("Could not take the clipboard");
            return false;
        }
        ++changeCount_;
        return true;
    }

    void handleEvent(const XEvent& event) {
        if (fixesEventBase_ >= 0 && event.type == fixesEventBase_ + XFixesSelectionNotify) {
            const auto& notify = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
            // Our own claims are counted when they are made.
            if (notify.selection == atoms_->clipboard &&
                !(notify.subtype == XFixesSetSelectionOwnerNotify && notify.owner == ownerWindow_))
                ++changeCount_;
            return;
        }
        switch (event.type) {
        case SelectionRequest: answer(event.xselectionrequest); break;
        case SelectionClear:
            if (event.xselectionclear.selection == atoms_->clipboard &&
                XGetSelectionOwner(owner_, atoms_->clipboard) != ownerWindow_) {
                std::lock_guard lock(stateMutex_);
                owning_ = false;
                owned_ = {};
            }
            break;
        case PropertyNotify:
            if (event.xproperty.state == PropertyDelete) continueTransfer(event.xproperty.window, event.xproperty.atom);
            break;
        default: break;
        }
    }

    // The bytes for one target, with the type they are sent as; none when we do not have it.
    std::optional<std::pair<Atom, std::string>> dataFor(Atom target, const PasteboardContents& contents) {
        const std::string name = atomName(owner_, target);
        if (target == atoms_->utf8String || target == atoms_->textPlainUtf8 || target == atoms_->textPlain ||
            target == atoms_->text || target == XA_STRING) {
            auto text = textOf(contents);
            if (!text) return std::nullopt;
            if (target == XA_STRING) return std::make_pair(XA_STRING, utf8ToLatin1(*text));
            // TEXT lets the owner choose the encoding; it is not a type of its own.
            return std::make_pair(target == atoms_->text ? atoms_->utf8String : target, *text);
        }
        for (const auto& [type, bytes] : contents.formats)
            if (type == name) return std::make_pair(target, bytes);
        return std::nullopt;
    }

    std::vector<Atom> targetsFor(const PasteboardContents& contents) {
        std::vector<Atom> list{atoms_->targets, atoms_->timestamp};
        auto add = [&](Atom atom) {
            if (std::find(list.begin(), list.end(), atom) == list.end()) list.push_back(atom);
        };
        for (const auto& [type, bytes] : contents.formats) {
            const Atom atom = XInternAtom(owner_, type.c_str(), False);
            if (!atoms_->isMeta(atom)) add(atom);
        }
        if (textOf(contents)) {
            for (Atom atom : {atoms_->utf8String, atoms_->textPlainUtf8, atoms_->textPlain, Atom(XA_STRING), atoms_->text})
                add(atom);
        }
        return list;
    }

    void answer(const XSelectionRequestEvent& request) {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = request.display;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        // Obsolete clients name no property: the target doubles as one.
        const Atom property = request.property == None ? request.target : request.property;
        reply.property = None;

        PasteboardContents contents;
        bool owning;
        Time since;
        {
            std::lock_guard lock(stateMutex_);
            owning = owning_;
            contents = owned_;
            since = ownedSince_;
        }
        if (owning && request.selection == atoms_->clipboard && request.owner == ownerWindow_) {
            if (request.target == atoms_->targets) {
                const auto list = targetsFor(contents);
                std::vector<long> values(list.begin(), list.end());
                XChangeProperty(owner_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(values.data()), int(values.size()));
                reply.property = property;
            } else if (request.target == atoms_->timestamp) {
                const long value = long(since);
                XChangeProperty(owner_, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(&value), 1);
                reply.property = property;
            } else if (!atoms_->isMeta(request.target)) {
                if (auto data = dataFor(request.target, contents)) {
                    send(request.requestor, property, data->first, std::move(data->second));
                    reply.property = property;
                }
            }
        }
        XSendEvent(owner_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    }

    void send(Window requestor, Atom property, Atom type, std::string data) {
        if (data.size() <= chunkSize_) {
            XChangeProperty(owner_, requestor, property, type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(data.data()), int(data.size()));
            return;
        }
        // INCR: announce the size, then write a chunk each time the requestor deletes the
        // property, ending with an empty one.
        XSelectInput(owner_, requestor, PropertyChangeMask);
        const long size = long(data.size());
        XChangeProperty(owner_, requestor, property, atoms_->incr, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        transfers_.push_back(Transfer{requestor, property, type, std::move(data), 0, Clock::now()});
    }

    void continueTransfer(Window window, Atom property) {
        auto it = std::find_if(transfers_.begin(), transfers_.end(),
                               [&](const Transfer& t) { return t.requestor == window && t.property == property; });
        if (it == transfers_.end()) return;
        const size_t length = std::min(chunkSize_, it->data.size() - it->offset);
        XChangeProperty(owner_, window, property, it->type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(it->data.data() + it->offset), int(length));
        it->offset += length;
        it->lastActivity = Clock::now();
        if (length == 0) finishTransfer(it);
    }

    void finishTransfer(std::vector<Transfer>::iterator it) {
        const Window window = it->requestor;
        transfers_.erase(it);
        const bool more = std::any_of(transfers_.begin(), transfers_.end(),
                                      [&](const Transfer& t) { return t.requestor == window; });
        if (!more) XSelectInput(owner_, window, NoEventMask);
    }

    void expireTransfers() {
        const auto now = Clock::now();
        for (auto it = transfers_.begin(); it != transfers_.end();) {
            if (now - it->lastActivity > kTransferStallTimeout) {
                finishTransfer(it);
                it = transfers_.begin();
            } else {
                ++it;
            }
        }
    }

    // --- Reading, on the caller's thread, through a connection of its own (under readerMutex_).

    bool openReader() {
        if (!readerLost()) return true;
        closeReader();
        readerConnection_ = X11Display::open(displayName_);
        if (!readerConnection_) return false;
        reader_ = readerConnection_->get();
        readerProperty_ = XInternAtom(reader_, "SABLIX_CLIPBOARD", False);
        return true;
    }

    void closeReader() {
        readerConnection_.reset();
        reader_ = nullptr;
    }

    // Waits for the next event on the reader connection that the predicate accepts.
    template <class Accept>
    bool waitForEvent(XEvent& event, Clock::time_point deadline, Accept accept) {
        const int fd = ConnectionNumber(reader_);
        while (!readerLost()) {
            while (XPending(reader_) > 0) {
                XNextEvent(reader_, &event);
                if (accept(event)) return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, int(left)) < 0 && errno != EINTR) return false;
        }
        return false;
    }

    std::optional<Reply> readProperty(Window window) {
        Reply reply;
        long offset = 0;
        for (;;) {
            Atom type;
            int format;
            unsigned long count, after;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(reader_, window, readerProperty_, offset, 1 << 20, False, AnyPropertyType,
                                   &type, &format, &count, &after, &data) != Success) {
                return std::nullopt;
            }
            if (type == None) {
                if (data) XFree(data);
                return std::nullopt;
            }
            // Xlib hands 32-bit items as longs.
            const size_t itemSize = format == 32 ? sizeof(long) : size_t(format / 8);
            reply.type = type;
            reply.format = format;
            reply.data.append(reinterpret_cast<const char*>(data), count * itemSize);
            XFree(data);
            offset += long(count * size_t(format) / 32);
            if (after == 0) break;
        }
        XDeleteProperty(reader_, window, readerProperty_);
        return reply;
    }

    // Asks the owner for one target. The first answer must come before firstDeadline; an INCR
    // transfer may go on until lastDeadline as long as it keeps moving. Each request gets a
    // window of its own, so a late answer to an abandoned request (an owner that was frozen and
    // woke up) can never be taken for the answer to a later one.
    std::optional<Reply> convert(Atom target, Clock::time_point firstDeadline, Clock::time_point lastDeadline,
                                 bool* timedOut) {
        *timedOut = false;
        const Window window = makeWindow(reader_);
        struct Destroy {
            Display* display;
            Window window;
            ~Destroy() { XDestroyWindow(display, window); }
        } destroy{reader_, window};

        XConvertSelection(reader_, atoms_->clipboard, target, readerProperty_, window, CurrentTime);
        XFlush(reader_);
        XEvent event;
        const bool answered = waitForEvent(event, firstDeadline, [&](const XEvent& e) {
            return e.type == SelectionNotify && e.xselection.requestor == window &&
                   e.xselection.selection == atoms_->clipboard && e.xselection.target == target;
        });
        if (!answered) return timeOut(timedOut);
        if (event.xselection.property == None) return std::nullopt;
        auto reply = readProperty(window);
        if (!reply || reply->type != atoms_->incr) return reply;

        Reply whole;
        for (;;) {
            const auto deadline = std::min(lastDeadline, Clock::now() + kReadTimeout);
            const bool moved = waitForEvent(event, deadline, [&](const XEvent& e) {
                return e.type == PropertyNotify && e.xproperty.window == window &&
                       e.xproperty.atom == readerProperty_ && e.xproperty.state == PropertyNewValue;
            });
            if (!moved) return timeOut(timedOut);
            auto chunk = readProperty(window);
            if (!chunk) continue;
            if (chunk->data.empty()) break;
            whole.type = chunk->type;
            whole.format = chunk->format;
            whole.data += chunk->data;
        }
        return whole;
    }

    std::nullopt_t timeOut(bool* timedOut) {
        *timedOut = true;
        logger().error("The clipboard owner did not answer in time");
        return std::nullopt;
    }

    bool ownerLost() const { return ownerConnection_->lost(); }
    bool readerLost() const { return !readerConnection_ || readerConnection_->lost(); }

    const std::string displayName_;
    std::unique_ptr<X11Display> ownerConnection_;
    Display* owner_ = nullptr;
    Window ownerWindow_ = None;
        std::optional<Atoms> atoms_;
    int fixesEventBase_ = -1;
    size_t chunkSize_ = 256 * 1024;
    int wakeFd_ = -1;
    std::thread ownerThread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int64_t> changeCount_{0};

    std::mutex commandsMutex_;
    std::deque<std::shared_ptr<SetRequest>> commands_;

    std::mutex stateMutex_;
    PasteboardContents owned_;
    bool owning_ = false;
    Time ownedSince_ = CurrentTime;

    std::vector<Transfer> transfers_;  // owner thread only

    std::timed_mutex readerMutex_;
    std::unique_ptr<X11Display> readerConnection_;
    Display* reader_ = nullptr;
    Atom readerProperty_ = None;
};

X11Pasteboard::X11Pasteboard(const std::string& displayName, Selection) : impl_(std::make_unique<Impl>(displayName)) {}

bool X11Pasteboard::handOverToClipboardManager() { return false; }

X11Pasteboard::~X11Pasteboard() = default;

X11Pasteboard& X11Pasteboard::shared() {
    static X11Pasteboard pasteboard;
    return pasteboard;
}

bool X11Pasteboard::isAvailable() const { return impl_->isAvailable(); }
int64_t X11Pasteboard::changeCount() { return impl_->changeCount(); }
std::optional<std::string> X11Pasteboard::string() { return impl_->string(); }
std::optional<PasteboardContents> X11Pasteboard::contents(std::chrono::milliseconds) { return impl_->contents(); }
bool X11Pasteboard::setString(const std::string& text) {
    return impl_->setContents(PasteboardContents{{{kUtf8MimeType, text}}});
}
bool X11Pasteboard::setContents(const PasteboardContents& contents) { return impl_->setContents(contents); }

}  // namespace desktop
