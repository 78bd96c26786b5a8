#include "desktop/x11/X11Pasteboard.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "desktop/x11/X11Display.h"
#include "platform/Log.h"
#include "platform/NamedThread.h"
#include "platform/Utf8.h"

namespace desktop {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUtf8MimeType = "text/plain;charset=utf-8";
// How long a write waits for the owner thread, and how long an INCR transfer may stall before
// it is dropped (the requestor went away).
constexpr std::chrono::milliseconds kWriteTimeout{2000};
constexpr std::chrono::milliseconds kTransferStallTimeout{5000};
// About what an INCR transfer between two clients of one X server carries (measured: 20 MB in
// 40-75 ms); used only to give up at once on a transfer that cannot fit the budget.
constexpr size_t kLocalBytesPerMillisecond = 256 * 1024;

platform::Log& logger() {
    static platform::Log log = platform::appLog("Pasteboard");
    return log;
}

// How the bytes of a reply (or a stored format) encode text, judged by its type.
enum class TextEncoding { none, utf8, latin1, utf8OrLatin1, compound };

struct Atoms {
    Atom clipboard, targets, timestamp, multiple, incr, utf8String, text, textPlain, textPlainUtf8, saveTargets,
        deleteAtom, insertSelection, insertProperty, atomPair, compoundText, clipboardManager, property, saveProperty;

    explicit Atoms(Display* d) {
        const char* names[] = {"CLIPBOARD",
                               "TARGETS",
                               "TIMESTAMP",
                               "MULTIPLE",
                               "INCR",
                               "UTF8_STRING",
                               "TEXT",
                               "text/plain",
                               kUtf8MimeType,
                               "SAVE_TARGETS",
                               "DELETE",
                               "INSERT_SELECTION",
                               "INSERT_PROPERTY",
                               "ATOM_PAIR",
                               "COMPOUND_TEXT",
                               "CLIPBOARD_MANAGER",
                               "SABLIX_CLIPBOARD",
                               "SABLIX_SAVE_TARGETS"};
        constexpr int count = sizeof names / sizeof names[0];
        Atom out[count];
        XInternAtoms(d, const_cast<char**>(names), count, False, out);
        clipboard = out[0], targets = out[1], timestamp = out[2], multiple = out[3], incr = out[4];
        utf8String = out[5], text = out[6], textPlain = out[7], textPlainUtf8 = out[8], saveTargets = out[9];
        deleteAtom = out[10], insertSelection = out[11], insertProperty = out[12], atomPair = out[13];
        compoundText = out[14], clipboardManager = out[15], property = out[16], saveProperty = out[17];
    }

    // Targets that ask the owner to do something rather than name a data format.
    bool isMeta(Atom a) const {
        return a == targets || a == timestamp || a == multiple || a == saveTargets || a == deleteAtom ||
               a == insertSelection || a == insertProperty || a == incr;
    }

    TextEncoding encodingOf(Atom type) const {
        if (type == utf8String || type == textPlainUtf8) return TextEncoding::utf8;
        if (type == XA_STRING) return TextEncoding::latin1;
        // Neither names a charset; what owners send under them is UTF-8 or, from older ones, Latin-1.
        if (type == textPlain || type == text) return TextEncoding::utf8OrLatin1;
        if (type == compoundText) return TextEncoding::compound;
        return TextEncoding::none;
    }
};

TextEncoding encodingOf(const std::string& type) {
    if (type == "UTF8_STRING" || type == kUtf8MimeType) return TextEncoding::utf8;
    if (type == "STRING") return TextEncoding::latin1;
    if (type == "text/plain" || type == "TEXT") return TextEncoding::utf8OrLatin1;
    if (type == "COMPOUND_TEXT") return TextEncoding::compound;
    return TextEncoding::none;
}

std::string atomName(Display* d, Atom atom) {
    std::string out;
    if (char* name = XGetAtomName(d, atom)) {
        out = name;
        XFree(name);
    }
    return out;
}

// The bytes as UTF-8 text, or none when they are not safely text. COMPOUND_TEXT counts only
// without escape sequences: it then is Latin-1, and anything else would need the locale's
// converters to be decoded right.
std::optional<std::string> decodeText(TextEncoding encoding, const std::string& bytes) {
    switch (encoding) {
    case TextEncoding::utf8: return bytes;
    case TextEncoding::latin1: return platform::utf8::fromLatin1(bytes);
    case TextEncoding::utf8OrLatin1: return platform::utf8::isValid(bytes) ? bytes : platform::utf8::fromLatin1(bytes);
    case TextEncoding::compound:
        if (bytes.find('\x1b') != std::string::npos) return std::nullopt;
        return platform::utf8::fromLatin1(bytes);
    case TextEncoding::none: break;
    }
    return std::nullopt;
}

// The plain text among the formats, if any: the UTF-8 ones first, Latin-1 STRING last.
std::optional<std::string> textOf(const PasteboardContents& contents) {
    for (const char* type : {kUtf8MimeType, "UTF8_STRING", "text/plain", "TEXT", "COMPOUND_TEXT", "STRING"})
        for (const auto& [name, bytes] : contents.formats)
            if (name == type)
                if (auto text = decodeText(encodingOf(name), bytes)) return text;
    return std::nullopt;
}

// Waits until the connection (or the extra descriptor) may have something to read, or the
// deadline passes. Xlib reads events into its own queue whenever it waits for a reply or for room
// to write: poll() on the socket alone would then sleep while a request sits in that queue.
void waitForInput(Display* display, std::optional<Clock::time_point> deadline, int extraFd = -1) {
    if (XEventsQueued(display, QueuedAfterFlush) > 0) return;
    int timeout = -1;
    if (deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
        if (left <= 0) return;
        timeout = int(left);
    }
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {extraFd, POLLIN, 0}};
    poll(fds, extraFd >= 0 ? 2 : 1, timeout);
}

}  // namespace

class X11Pasteboard::Impl {
public:
    Impl(const std::string& displayName, Selection selection) : displayName_(displayName), selectionKind_(selection) {
        ownerConnection_ = X11Display::open(displayName_);
        if (!ownerConnection_) {
            logger().error("Cannot open the X display for the clipboard");
            return;
        }
        owner_ = ownerConnection_->get();
        atoms_.emplace(owner_);
        selection_ = selection == Selection::primary ? Atom(XA_PRIMARY) : atoms_->clipboard;
        ownerWindow_ = makeWindow(owner_);
        int errorBase = 0;
        if (XFixesQueryExtension(owner_, &fixesEventBase_, &errorBase)) {
            XFixesSelectSelectionInput(owner_, ownerWindow_, selection_,
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
        ownerThread_.emplace(selectionKind_ == Selection::clipboard ? "sablix.clipbrd" : "sablix.primary",
                             [this] { runOwner(); });
    }

    ~Impl() {
        if (ownerThread_) {
            stopping_ = true;
            wake();
            ownerThread_.reset();
        }
        if (wakeFd_ >= 0) close(wakeFd_);
        if (ownerConnection_ && !ownerLost()) XDestroyWindow(owner_, ownerWindow_);
        ownerConnection_.reset();
        closeReader();
    }

    bool isAvailable() const { return ownerConnection_ && !ownerLost(); }
    int64_t changeCount() const { return changeCount_.load(); }
    int64_t servedChangeCount() const { return servedChangeCount_.load(); }

    void setServedHandler(std::function<void()> handler) {
        std::lock_guard lock(servedHandlerMutex_);
        servedHandler_ = std::move(handler);
    }

    void setInProcessOwner(std::shared_ptr<InProcessOwner> owner) {
        std::lock_guard lock(inProcessOwnerMutex_);
        inProcessOwner_ = std::move(owner);
    }

    std::optional<std::string> string() {
        if (!isAvailable()) return std::nullopt;
        if (auto own = ownedContents()) return textOf(*own);
        const auto deadline = Clock::now() + kReadTimeout;
        std::unique_lock lock(readerMutex_, std::defer_lock);
        if (!lock.try_lock_until(deadline)) return std::nullopt;
        if (!openReader()) return std::nullopt;
        const Window owner = XGetSelectionOwner(reader_, selection_);
        if (owner == None) return std::nullopt;
        if (auto inProcess = inProcessOwner(); inProcess && inProcess->canAnswer(owner))
            return inProcess->text(selectionKind_);
        // Most owners offer the first; some offer only text/plain or only TEXT.
        for (Atom target :
             {atoms_->utf8String, atoms_->textPlainUtf8, atoms_->textPlain, atoms_->text, Atom(XA_STRING)}) {
            std::vector<Fetch> fetch{Fetch{target}};
            if (!fetchAll(fetch, deadline)) return timedOut(fetch);
            // Some owners answer every target with whatever they hold; only text counts here.
            if (fetch[0].state != Fetch::State::done || fetch[0].reply.format != 8) continue;
            if (auto text = decodeText(atoms_->encodingOf(fetch[0].reply.type), fetch[0].reply.data)) return text;
        }
        return std::nullopt;
    }

    std::optional<PasteboardContents> contents(std::chrono::milliseconds budget) {
        if (!isAvailable()) return std::nullopt;
        if (auto own = ownedContents()) return own;
        const auto deadline = Clock::now() + budget;
        std::unique_lock lock(readerMutex_, std::defer_lock);
        if (!lock.try_lock_until(deadline)) return std::nullopt;
        if (!openReader()) return std::nullopt;
        if (XGetSelectionOwner(reader_, selection_) == None) return std::nullopt;
        std::vector<Fetch> targets{Fetch{atoms_->targets}};
        if (!fetchAll(targets, deadline)) return timedOut(targets);
        if (targets[0].state != Fetch::State::done) return std::nullopt;

        // The plain text is asked for first and on its own: an owner may hold its answers until
        // it has worked through every request it read, and one format that it is slow to make
        // must not hold back the text. Within each group every format is asked for at once, so
        // the owner answers one after the other without waiting for us in between.
        std::vector<Fetch> fetches;
        for (Atom target : targetList(targets[0].reply)) fetches.push_back(Fetch{target});
        const auto rest = std::stable_partition(fetches.begin(), fetches.end(), [&](const Fetch& f) {
            return atoms_->encodingOf(f.target) != TextEncoding::none;
        });
        std::vector<Fetch> text(fetches.begin(), rest), others(rest, fetches.end());
        ask(text);
        // Looked up while the owner works on the requests.
        const auto names = atomNames(fetches);
        collect(text, deadline);
        if (Clock::now() < deadline) fetchAll(others, deadline);
        fetches = std::move(text);
        fetches.insert(fetches.end(), std::make_move_iterator(others.begin()), std::make_move_iterator(others.end()));

        PasteboardContents out;
        for (size_t i = 0; i < fetches.size(); ++i) {
            auto& fetch = fetches[i];
            if (fetch.state == Fetch::State::done) {
                // Format-32 replies are lists of atoms or numbers that mean something only to
                // the owner; data formats come as bytes.
                if (fetch.reply.format == 8) out.formats.emplace_back(names[i], std::move(fetch.reply.data));
            } else if (fetch.state != Fetch::State::refused) {
                out.skipped.push_back(names[i]);
            }
        }
        if (!out.skipped.empty()) {
            std::string list;
            for (const auto& name : out.skipped) list += (list.empty() ? "" : ", ") + name;
            logger().error("Clipboard formats not saved, the owner did not hand them over in %lld ms: %s",
                           static_cast<long long>(budget.count()), list.c_str());
        }
        return out;
    }

    bool setContents(const PasteboardContents& contents) {
        auto command = std::make_shared<Command>();
        command->kind = Command::Kind::set;
        command->contents = contents;
        return run(command, kWriteTimeout, "Setting the clipboard timed out");
    }

    bool handOverToClipboardManager() {
        if (selectionKind_ != Selection::clipboard || !ownedContents()) return false;
        auto command = std::make_shared<Command>();
        command->kind = Command::Kind::handOver;
        return run(command, kHandOverTimeout + kWriteTimeout, "Handing the clipboard over timed out");
    }

private:
    struct Command {
        enum class Kind { set, handOver } kind;
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

    // One target asked of the owner. Each gets a window of its own, so a late answer to an
    // abandoned request (an owner that was frozen and woke up) can never be taken for the answer
    // to a later one, and several INCR transfers can run side by side.
    struct Fetch {
        Atom target;
        Window window = None;
        enum class State { asked, incremental, done, refused, abandoned } state = State::asked;
        Reply reply = {};
        size_t announcedSize = 0;  // what an INCR transfer said it would bring
        bool pending() const { return state == State::asked || state == State::incremental; }
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
        return *owned_;
    }

    std::shared_ptr<InProcessOwner> inProcessOwner() {
        std::lock_guard lock(inProcessOwnerMutex_);
        return inProcessOwner_;
    }

    // Hands a command to the owner thread and waits for its outcome.
    bool run(const std::shared_ptr<Command>& command, std::chrono::milliseconds timeout, const char* timeoutMessage) {
        if (!isAvailable()) return false;
        auto done = command->done.get_future();
        {
            std::lock_guard lock(commandsMutex_);
            commands_.push_back(command);
        }
        wake();
        if (done.wait_for(timeout) != std::future_status::ready) {
            logger().error("%s", timeoutMessage);
            return false;
        }
        return done.get();
    }

    // --- The owner thread: the only user of owner_. It never waits on another client.

    void runOwner() {
        while (!stopping_ && !ownerLost()) {
            while (!ownerLost() && XPending(owner_) > 0) {
                XEvent event;
                XNextEvent(owner_, &event);
                handleEvent(event);
            }
            runCommands();
            expireTransfers();
            expireHandOver();
            if (stopping_ || ownerLost()) break;
            std::optional<Clock::time_point> wakeAt;
            if (!transfers_.empty()) wakeAt = Clock::now() + std::chrono::milliseconds(500);
            if (handOver_) wakeAt = std::min(wakeAt.value_or(handOverDeadline_), handOverDeadline_);
            waitForInput(owner_, wakeAt, wakeFd_);
            uint64_t value;
            [[maybe_unused]] ssize_t n = read(wakeFd_, &value, sizeof value);
        }
        if (ownerLost()) {
            std::lock_guard lock(stateMutex_);
            owning_ = false;
        }
        failPendingCommands();
    }

    void runCommands() {
        std::deque<std::shared_ptr<Command>> commands;
        {
            std::lock_guard lock(commandsMutex_);
            commands.swap(commands_);
        }
        for (auto& command : commands) {
            if (command->kind == Command::Kind::set)
                command->done.set_value(takeOwnership(std::move(command->contents)));
            else
                startHandOver(command);
        }
    }

    void failPendingCommands() {
        std::lock_guard lock(commandsMutex_);
        for (auto& command : commands_) command->done.set_value(false);
        commands_.clear();
        if (handOver_) handOver_->done.set_value(false);
        handOver_.reset();
    }

    // A server timestamp for our claim: the time of a property change on our own window. Other
    // events that arrive meanwhile are handled as usual.
    std::optional<Time> serverTime() {
        XChangeProperty(owner_, ownerWindow_, atoms_->property, XA_STRING, 8, PropModeAppend, nullptr, 0);
        const auto deadline = Clock::now() + kWriteTimeout;
        while (!ownerLost() && Clock::now() < deadline) {
            waitForInput(owner_, deadline);
            while (!ownerLost() && XPending(owner_) > 0) {
                XEvent event;
                XNextEvent(owner_, &event);
                if (event.type == PropertyNotify && event.xproperty.window == ownerWindow_ &&
                    event.xproperty.atom == atoms_->property && event.xproperty.state == PropertyNewValue)
                    return event.xproperty.time;
                handleEvent(event);
            }
        }
        return std::nullopt;
    }

    bool takeOwnership(PasteboardContents contents) {
        const auto time = serverTime();
        if (!time) return false;
        {
            std::lock_guard lock(stateMutex_);
            owned_ = std::make_shared<const PasteboardContents>(std::move(contents));
            owning_ = true;
            ownedSince_ = *time;
        }
        XSetSelectionOwner(owner_, selection_, ownerWindow_, *time);
        const bool owns = XGetSelectionOwner(owner_, selection_) == ownerWindow_;
        // Whatever happened on the selection before our claim is counted before it.
        while (!ownerLost() && XPending(owner_) > 0) {
            XEvent event;
            XNextEvent(owner_, &event);
            handleEvent(event);
        }
        if (!owns || ownerLost()) {
            std::lock_guard lock(stateMutex_);
            owning_ = false;
            owned_ = std::make_shared<const PasteboardContents>();
            logger().error("Could not take the clipboard");
            return false;
        }
        const int64_t count = ++changeCount_;
        std::lock_guard lock(stateMutex_);
        ownedChangeCount_ = count;
        return true;
    }

    // Asks the clipboard manager to save our targets (listed in a property of our window, as
    // the manager expects); its answer arrives as a SelectionNotify, handled with the other events.
    void startHandOver(const std::shared_ptr<Command>& command) {
        const auto contents = ownedContents();
        if (handOver_ || !contents || XGetSelectionOwner(owner_, atoms_->clipboardManager) == None) {
            command->done.set_value(false);
            return;
        }
        std::vector<long> targets;
        for (Atom atom : targetsFor(*contents))
            if (!atoms_->isMeta(atom)) targets.push_back(long(atom));
        XChangeProperty(owner_, ownerWindow_, atoms_->saveProperty, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(targets.data()), int(targets.size()));
        XConvertSelection(owner_, atoms_->clipboardManager, atoms_->saveTargets, atoms_->saveProperty, ownerWindow_,
                          CurrentTime);
        handOver_ = command;
        handOverDeadline_ = Clock::now() + kHandOverTimeout;
    }

    void finishHandOver(bool taken) {
        if (!taken) logger().error("The clipboard manager did not take the clipboard");
        handOver_->done.set_value(taken);
        handOver_.reset();
    }

    void expireHandOver() {
        if (handOver_ && Clock::now() >= handOverDeadline_) finishHandOver(false);
    }

    void handleEvent(const XEvent& event) {
        if (fixesEventBase_ >= 0 && event.type == fixesEventBase_ + XFixesSelectionNotify) {
            const auto& notify = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
            // Our own claims are counted when they are made.
            if (notify.selection == selection_ &&
                !(notify.subtype == XFixesSetSelectionOwnerNotify && notify.owner == ownerWindow_))
                ++changeCount_;
            return;
        }
        switch (event.type) {
        case SelectionRequest: answer(event.xselectionrequest); break;
        case SelectionClear:
            if (event.xselectionclear.selection == selection_ &&
                XGetSelectionOwner(owner_, selection_) != ownerWindow_) {
                std::lock_guard lock(stateMutex_);
                owning_ = false;
                owned_ = std::make_shared<const PasteboardContents>();
            }
            break;
        case SelectionNotify:
            if (handOver_ && event.xselection.selection == atoms_->clipboardManager &&
                event.xselection.target == atoms_->saveTargets)
                finishHandOver(event.xselection.property != None);
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
            // STRING is Latin-1 by definition.
            if (target == XA_STRING) return std::make_pair(XA_STRING, platform::utf8::toLatin1(*text));
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
            for (Atom atom :
                 {atoms_->utf8String, atoms_->textPlainUtf8, atoms_->textPlain, Atom(XA_STRING), atoms_->text})
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

        // A snapshot: large contents are not copied for every request.
        std::shared_ptr<const PasteboardContents> contents;
        bool owning;
        Time since;
        int64_t written;
        {
            std::lock_guard lock(stateMutex_);
            owning = owning_;
            contents = owned_;
            since = ownedSince_;
            written = ownedChangeCount_;
        }
        bool served = false;
        if (owning && request.selection == selection_ && request.owner == ownerWindow_) {
            if (request.target == atoms_->targets) {
                const auto list = targetsFor(*contents);
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
                if (auto data = dataFor(request.target, *contents)) {
                    // An INCR transfer carries its own copy: the content may change meanwhile.
                    send(request.requestor, property, data->first, std::move(data->second));
                    reply.property = property;
                    // Our own windows reading the clipboard are not the application pasting.
                    const auto inProcess = inProcessOwner();
                    served = !(inProcess && inProcess->isOwnWindow(request.requestor));
                }
            }
        }
        XSendEvent(owner_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
        if (served) {
            // Counted once the server has the answer: keys posted after this reach the requestor
            // behind it.
            XSync(owner_, False);
            servedChangeCount_ = written;
            std::lock_guard lock(servedHandlerMutex_);
            if (servedHandler_) servedHandler_();
        }
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
        const bool more =
            std::any_of(transfers_.begin(), transfers_.end(), [&](const Transfer& t) { return t.requestor == window; });
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

    std::vector<Atom> targetList(const Reply& reply) {
        std::vector<Atom> list;
        if (reply.format != 32) return list;
        const size_t count = reply.data.size() / sizeof(long);
        const long* values = reinterpret_cast<const long*>(reply.data.data());
        for (size_t i = 0; i < count; ++i) {
            const Atom atom = Atom(static_cast<unsigned long>(values[i]));
            if (atom != None && !atoms_->isMeta(atom) && std::find(list.begin(), list.end(), atom) == list.end())
                list.push_back(atom);
        }
        return list;
    }

    // The targets' names in one round trip.
    std::vector<std::string> atomNames(const std::vector<Fetch>& fetches) {
        std::vector<Atom> atoms;
        for (const auto& fetch : fetches) atoms.push_back(fetch.target);
        std::vector<char*> names(atoms.size(), nullptr);
        std::vector<std::string> out(atoms.size());
        if (atoms.empty() || !XGetAtomNames(reader_, atoms.data(), int(atoms.size()), names.data())) return out;
        for (size_t i = 0; i < names.size(); ++i) {
            out[i] = names[i];
            XFree(names[i]);
        }
        return out;
    }

    void ask(std::vector<Fetch>& fetches) {
        for (auto& fetch : fetches) {
            fetch.window = makeWindow(reader_);
            XConvertSelection(reader_, selection_, fetch.target, readerProperty_, fetch.window, CurrentTime);
        }
        XFlush(reader_);
    }

    // Takes the owner's answers as they come until every fetch is answered, the deadline passes,
    // or the owner has been silent for kReadTimeout; then drops the windows, so whatever the
    // owner still sends goes nowhere. False when an answer is missing.
    bool collect(std::vector<Fetch>& fetches, Clock::time_point deadline) {
        auto lastActivity = Clock::now();
        auto pending = [&] {
            return std::any_of(fetches.begin(), fetches.end(), [](const Fetch& f) { return f.pending(); });
        };
        while (pending() && !readerLost()) {
            const auto until = std::min(deadline, lastActivity + kReadTimeout);
            if (Clock::now() >= until) break;
            waitForInput(reader_, until);
            while (!readerLost() && XPending(reader_) > 0) {
                XEvent event;
                XNextEvent(reader_, &event);
                if (take(fetches, event)) lastActivity = Clock::now();
            }
            abandonTransfersThatCannotFinish(fetches, deadline);
        }
        for (const auto& fetch : fetches) XDestroyWindow(reader_, fetch.window);
        XFlush(reader_);
        return !pending();
    }

    // A transfer announced as larger than what a local connection carries before the deadline
    // is given up at once: waiting for it would only spend the rest of the budget and still
    // leave it out.
    static void abandonTransfersThatCannotFinish(std::vector<Fetch>& fetches, Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const size_t reachable = static_cast<size_t>(std::max<long long>(left, 0)) * kLocalBytesPerMillisecond;
        for (auto& fetch : fetches)
            if (fetch.state == Fetch::State::incremental && fetch.announcedSize > reachable + fetch.reply.data.size())
                fetch.state = Fetch::State::abandoned;
    }

    bool fetchAll(std::vector<Fetch>& fetches, Clock::time_point deadline) {
        ask(fetches);
        return collect(fetches, deadline);
    }

    // One event on the reader connection; true when it moved a fetch on.
    bool take(std::vector<Fetch>& fetches, const XEvent& event) {
        const Window window = event.type == SelectionNotify  ? event.xselection.requestor
                              : event.type == PropertyNotify ? event.xproperty.window
                                                             : None;
        const auto it =
            std::find_if(fetches.begin(), fetches.end(), [&](const Fetch& f) { return f.window == window; });
        if (window == None || it == fetches.end()) return false;
        Fetch& fetch = *it;
        if (event.type == SelectionNotify && fetch.state == Fetch::State::asked &&
            event.xselection.selection == selection_ && event.xselection.target == fetch.target) {
            auto reply = event.xselection.property == None ? std::nullopt : readProperty(fetch.window);
            if (!reply) {
                fetch.state = Fetch::State::refused;
            } else if (reply->type == atoms_->incr) {
                // Deleting the announcement (readProperty did) asks for the first piece.
                fetch.state = Fetch::State::incremental;
                if (reply->format == 32 && reply->data.size() >= sizeof(long)) {
                    long size = 0;
                    std::memcpy(&size, reply->data.data(), sizeof size);
                    fetch.announcedSize = size > 0 ? static_cast<size_t>(size) : 0;
                }
            } else {
                fetch.reply = std::move(*reply);
                fetch.state = Fetch::State::done;
            }
            return true;
        }
        if (event.type == PropertyNotify && fetch.state == Fetch::State::incremental &&
            event.xproperty.atom == readerProperty_ && event.xproperty.state == PropertyNewValue) {
            auto chunk = readProperty(fetch.window);
            if (!chunk) return false;
            if (chunk->data.empty()) {
                fetch.state = Fetch::State::done;
            } else {
                fetch.reply.type = chunk->type;
                fetch.reply.format = chunk->format;
                fetch.reply.data += chunk->data;
            }
            return true;
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
            if (XGetWindowProperty(reader_, window, readerProperty_, offset, 1 << 20, False, AnyPropertyType, &type,
                                   &format, &count, &after, &data) != Success) {
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

    std::nullopt_t timedOut(const std::vector<Fetch>& fetches) {
        if (!readerLost())
            logger().error("The clipboard owner did not answer in time (%s)",
                           atomName(reader_, fetches[0].target).c_str());
        return std::nullopt;
    }

    bool ownerLost() const { return ownerConnection_->lost(); }
    bool readerLost() const { return !readerConnection_ || readerConnection_->lost(); }

    const std::string displayName_;
    const Selection selectionKind_;
    std::unique_ptr<X11Display> ownerConnection_;
    Display* owner_ = nullptr;
    Window ownerWindow_ = None;
    std::optional<Atoms> atoms_;
    Atom selection_ = None;
    int fixesEventBase_ = -1;
    size_t chunkSize_ = 256 * 1024;
    int wakeFd_ = -1;
    std::optional<platform::NamedThread> ownerThread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int64_t> changeCount_{0};
    std::atomic<int64_t> servedChangeCount_{0};
    std::mutex servedHandlerMutex_;
    std::function<void()> servedHandler_;

    std::mutex commandsMutex_;
    std::deque<std::shared_ptr<Command>> commands_;

    std::mutex stateMutex_;
    std::shared_ptr<const PasteboardContents> owned_ = std::make_shared<const PasteboardContents>();
    bool owning_ = false;
    Time ownedSince_ = CurrentTime;
    int64_t ownedChangeCount_ = 0;  // the change count our claim of owned_ left

    // Owner thread only.
    std::vector<Transfer> transfers_;
    std::shared_ptr<Command> handOver_;
    Clock::time_point handOverDeadline_;

    std::mutex inProcessOwnerMutex_;
    std::shared_ptr<InProcessOwner> inProcessOwner_;

    std::timed_mutex readerMutex_;
    std::unique_ptr<X11Display> readerConnection_;
    Display* reader_ = nullptr;
    Atom readerProperty_ = None;
};

X11Pasteboard::X11Pasteboard(const std::string& displayName, Selection selection)
    : impl_(std::make_unique<Impl>(displayName, selection)) {}

X11Pasteboard::~X11Pasteboard() = default;

bool X11Pasteboard::isAvailable() const { return impl_->isAvailable(); }
void X11Pasteboard::setInProcessOwner(std::shared_ptr<InProcessOwner> owner) {
    impl_->setInProcessOwner(std::move(owner));
}
bool X11Pasteboard::handOverToClipboardManager() { return impl_->handOverToClipboardManager(); }
int64_t X11Pasteboard::changeCount() { return impl_->changeCount(); }
std::optional<std::string> X11Pasteboard::string() { return impl_->string(); }
std::optional<PasteboardContents> X11Pasteboard::contents(std::chrono::milliseconds budget) {
    return impl_->contents(budget);
}
bool X11Pasteboard::setString(const std::string& text) {
    return impl_->setContents(PasteboardContents{{{kUtf8MimeType, text}}});
}
bool X11Pasteboard::setContents(const PasteboardContents& contents) { return impl_->setContents(contents); }
int64_t X11Pasteboard::servedChangeCount() { return impl_->servedChangeCount(); }
void X11Pasteboard::setServedHandler(std::function<void()> handler) { impl_->setServedHandler(std::move(handler)); }

}  // namespace desktop
