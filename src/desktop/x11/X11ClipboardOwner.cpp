#include "desktop/x11/X11ClipboardOwner.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <future>
#include <sys/eventfd.h>
#include <unistd.h>

#include "desktop/x11/X11ClipboardFormats.h"

namespace desktop {
namespace {

// How long a write waits for the owner thread.
constexpr std::chrono::milliseconds kWriteTimeout{2000};

}  // namespace

struct X11ClipboardOwner::Command {
    enum class Kind { set, clear, handOver } kind;
    PasteboardContents contents;
    std::promise<bool> done;
};

X11ClipboardOwner::X11ClipboardOwner(const std::string& displayName, X11Pasteboard::Selection selection,
                                     IsOwnWindow isOwnWindow)
    : selectionKind_(selection), isOwnWindow_(std::move(isOwnWindow)) {
    connection_ = X11Display::open(displayName);
    if (!connection_) {
        logger_.error("Cannot open the X display for the clipboard");
        return;
    }
    display_ = connection_->get();
    atoms_.emplace(display_);
    selection_ = (*atoms_)[selection == X11Pasteboard::Selection::primary ? X11Atom::primary : X11Atom::clipboard];
    window_ = connection_->createPropertyWindow();
    int errorBase = 0;
    if (XFixesQueryExtension(display_, &fixesEventBase_, &errorBase)) {
        XFixesSelectSelectionInput(display_, window_, selection_,
                                   XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                       XFixesSelectionClientCloseNotifyMask);
    } else {
        fixesEventBase_ = -1;
        logger_.error("XFIXES is missing: clipboard changes by other applications go unseen");
    }
    sender_.emplace(display_, (*atoms_)[X11Atom::incr]);
    XSync(display_, False);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_.emplace(selection == X11Pasteboard::Selection::clipboard ? "sablix.clipbrd" : "sablix.primary",
                    [this] { runOwner(); });
}

X11ClipboardOwner::~X11ClipboardOwner() {
    if (thread_) {
        stopping_ = true;
        wake();
        thread_.reset();
    }
    if (wakeFd_ >= 0) close(wakeFd_);
    if (connection_ && !lost()) XDestroyWindow(display_, window_);
}

void X11ClipboardOwner::setServedHandler(std::function<void()> handler) {
    std::lock_guard lock(servedHandlerMutex_);
    servedHandler_ = std::move(handler);
}

std::optional<PasteboardContents> X11ClipboardOwner::ownedContents() {
    std::lock_guard lock(stateMutex_);
    if (!owning_) return std::nullopt;
    return *owned_;
}

bool X11ClipboardOwner::setContents(const PasteboardContents& contents) {
    auto command = std::make_shared<Command>();
    command->kind = Command::Kind::set;
    command->contents = contents;
    return run(command, kWriteTimeout, "Setting the clipboard timed out");
}

bool X11ClipboardOwner::clearContents() {
    auto command = std::make_shared<Command>();
    command->kind = Command::Kind::clear;
    return run(command, kWriteTimeout, "Emptying the clipboard timed out");
}

bool X11ClipboardOwner::handOverToClipboardManager() {
    if (selectionKind_ != X11Pasteboard::Selection::clipboard || !ownedContents()) return false;
    auto command = std::make_shared<Command>();
    command->kind = Command::Kind::handOver;
    return run(command, X11Pasteboard::kHandOverTimeout + kWriteTimeout, "Handing the clipboard over timed out");
}

void X11ClipboardOwner::wake() {
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

// Hands a command to the owner thread and waits for its outcome.
bool X11ClipboardOwner::run(const std::shared_ptr<Command>& command, std::chrono::milliseconds timeout,
                            const char* timeoutMessage) {
    if (!isAvailable()) return false;
    auto done = command->done.get_future();
    {
        std::lock_guard lock(commandsMutex_);
        commands_.push_back(command);
    }
    wake();
    if (done.wait_for(timeout) != std::future_status::ready) {
        logger_.error("%s", timeoutMessage);
        return false;
    }
    return done.get();
}

// --- The owner thread: the only user of display_. It never waits on another client.

void X11ClipboardOwner::runOwner() {
    while (!stopping_ && !lost()) {
        handlePending();
        runCommands();
        std::optional<Clock::time_point> wakeAt = sender_->expire();
        expireHandOver();
        if (stopping_ || lost()) break;
        if (handOver_) wakeAt = std::min(wakeAt.value_or(handOverDeadline_), handOverDeadline_);
        connection_->waitForInput(wakeAt, wakeFd_);
        uint64_t value;
        [[maybe_unused]] ssize_t n = read(wakeFd_, &value, sizeof value);
    }
    if (lost()) {
        std::lock_guard lock(stateMutex_);
        owning_ = false;
    }
    failPendingCommands();
}

void X11ClipboardOwner::handlePending() {
    while (!lost() && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        handleEvent(event);
    }
}

void X11ClipboardOwner::runCommands() {
    std::deque<std::shared_ptr<Command>> commands;
    {
        std::lock_guard lock(commandsMutex_);
        commands.swap(commands_);
    }
    for (auto& command : commands) {
        switch (command->kind) {
        case Command::Kind::set: command->done.set_value(takeOwnership(std::move(command->contents))); break;
        case Command::Kind::clear: command->done.set_value(giveUpOwnership()); break;
        case Command::Kind::handOver: startHandOver(command); break;
        }
    }
}

void X11ClipboardOwner::failPendingCommands() {
    std::lock_guard lock(commandsMutex_);
    for (auto& command : commands_) command->done.set_value(false);
    commands_.clear();
    if (handOver_) handOver_->done.set_value(false);
    handOver_.reset();
}

// A server timestamp for our claim: the time of a property change on our own window. Other
// events that arrive meanwhile are handled as usual.
std::optional<Time> X11ClipboardOwner::serverTime() {
    const Atom property = (*atoms_)[X11Atom::ownProperty];
    XChangeProperty(display_, window_, property, XA_STRING, 8, PropModeAppend, nullptr, 0);
    const auto deadline = Clock::now() + kWriteTimeout;
    while (!lost() && Clock::now() < deadline) {
        connection_->waitForInput(deadline, -1);
        while (!lost() && XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == PropertyNotify && event.xproperty.window == window_ && event.xproperty.atom == property &&
                event.xproperty.state == PropertyNewValue)
                return event.xproperty.time;
            handleEvent(event);
        }
    }
    return std::nullopt;
}

bool X11ClipboardOwner::takeOwnership(PasteboardContents contents) {
    const auto time = serverTime();
    if (!time) return false;
    {
        std::lock_guard lock(stateMutex_);
        owned_ = std::make_shared<const PasteboardContents>(std::move(contents));
        owning_ = true;
        ownedSince_ = *time;
    }
    XSetSelectionOwner(display_, selection_, window_, *time);
    const bool owns = XGetSelectionOwner(display_, selection_) == window_;
    // Whatever happened on the selection before our claim is counted before it.
    handlePending();
    if (!owns || lost()) {
        std::lock_guard lock(stateMutex_);
        owning_ = false;
        owned_ = std::make_shared<const PasteboardContents>();
        logger_.error("Could not take the clipboard");
        return false;
    }
    const int64_t count = ++changeCount_;
    std::lock_guard lock(stateMutex_);
    ownedChangeCount_ = count;
    return true;
}

// Whoever took the selection from us meanwhile keeps it: only our own claim is given up.
bool X11ClipboardOwner::giveUpOwnership() {
    {
        std::lock_guard lock(stateMutex_);
        if (!owning_) return true;
    }
    const auto time = serverTime();
    if (!time) return false;
    XSetSelectionOwner(display_, selection_, None, *time);
    if (lost() || XGetSelectionOwner(display_, selection_) == window_) {
        logger_.error("Could not empty the clipboard");
        return false;
    }
    {
        std::lock_guard lock(stateMutex_);
        owning_ = false;
        owned_ = std::make_shared<const PasteboardContents>();
    }
    // With XFIXES the release arrives as a change of owner and is counted there.
    handlePending();
    if (fixesEventBase_ < 0) ++changeCount_;
    return true;
}

// Asks the clipboard manager to save our targets (listed in a property of our window, as
// the manager expects); its answer arrives as a SelectionNotify, handled with the other events.
void X11ClipboardOwner::startHandOver(const std::shared_ptr<Command>& command) {
    const auto contents = ownedContents();
    const Atom manager = (*atoms_)[X11Atom::clipboardManager];
    if (handOver_ || !contents || XGetSelectionOwner(display_, manager) == None) {
        command->done.set_value(false);
        return;
    }
    std::vector<long> targets;
    for (Atom atom : targetsFor(*contents))
        if (!isMetaTarget(atoms_->find(atom))) targets.push_back(long(atom));
    const Atom property = (*atoms_)[X11Atom::ownSaveTargets];
    XChangeProperty(display_, window_, property, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(targets.data()), int(targets.size()));
    XConvertSelection(display_, manager, (*atoms_)[X11Atom::saveTargets], property, window_, CurrentTime);
    handOver_ = command;
    handOverDeadline_ = Clock::now() + X11Pasteboard::kHandOverTimeout;
}

void X11ClipboardOwner::finishHandOver(bool taken) {
    if (!taken) logger_.error("The clipboard manager did not take the clipboard");
    handOver_->done.set_value(taken);
    handOver_.reset();
}

void X11ClipboardOwner::expireHandOver() {
    if (handOver_ && Clock::now() >= handOverDeadline_) finishHandOver(false);
}

void X11ClipboardOwner::handleEvent(const XEvent& event) {
    if (fixesEventBase_ >= 0 && event.type == fixesEventBase_ + XFixesSelectionNotify) {
        const auto& notify = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
        // Our own claims are counted when they are made.
        if (notify.selection == selection_ &&
            !(notify.subtype == XFixesSetSelectionOwnerNotify && notify.owner == window_))
            ++changeCount_;
        return;
    }
    switch (event.type) {
    case SelectionRequest: answer(event.xselectionrequest); break;
    case SelectionClear:
        if (event.xselectionclear.selection == selection_ && XGetSelectionOwner(display_, selection_) != window_) {
            std::lock_guard lock(stateMutex_);
            owning_ = false;
            owned_ = std::make_shared<const PasteboardContents>();
        }
        break;
    case SelectionNotify:
        if (handOver_ && event.xselection.selection == (*atoms_)[X11Atom::clipboardManager] &&
            event.xselection.target == (*atoms_)[X11Atom::saveTargets])
            finishHandOver(event.xselection.property != None);
        break;
    case PropertyNotify:
        if (event.xproperty.state == PropertyDelete)
            sender_->propertyDeleted(event.xproperty.window, event.xproperty.atom);
        break;
    default: break;
    }
}

void X11ClipboardOwner::answer(const XSelectionRequestEvent& request) {
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
    if (owning && request.selection == selection_ && request.owner == window_) {
        const auto known = atoms_->find(request.target);
        if (known == X11Atom::targets) {
            const auto list = targetsFor(*contents);
            std::vector<long> values(list.begin(), list.end());
            XChangeProperty(display_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(values.data()), int(values.size()));
            reply.property = property;
        } else if (known == X11Atom::timestamp) {
            const long value = long(since);
            XChangeProperty(display_, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&value), 1);
            reply.property = property;
        } else if (!isMetaTarget(known)) {
            if (auto data = dataFor(request.target, *contents)) {
                sender_->send(request.requestor, property, data->first, std::move(data->second));
                reply.property = property;
                // Our own windows reading the clipboard are not the application pasting.
                served = !isOwnWindow_(request.requestor);
            }
        }
    }
    XSendEvent(display_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    if (served) {
        // Counted once the server has the answer: keys posted after this reach the requestor
        // behind it.
        XSync(display_, False);
        servedChangeCount_ = written;
        std::lock_guard lock(servedHandlerMutex_);
        if (servedHandler_) servedHandler_();
    }
}

std::vector<Atom> X11ClipboardOwner::targetsFor(const PasteboardContents& contents) {
    std::vector<Atom> list{(*atoms_)[X11Atom::targets], (*atoms_)[X11Atom::timestamp]};
    auto add = [&](Atom atom) {
        if (std::find(list.begin(), list.end(), atom) == list.end()) list.push_back(atom);
    };
    for (const auto& [type, bytes] : contents.formats) {
        const Atom atom = XInternAtom(display_, type.c_str(), False);
        if (!isMetaTarget(atoms_->find(atom))) add(atom);
    }
    if (textOf(contents))
        for (const auto& target : kTextTargets)
            if (target.offered) add((*atoms_)[target.type]);
    return list;
}

// The bytes for one target, with the type they are sent as; none when we do not have it.
std::optional<std::pair<Atom, std::string>> X11ClipboardOwner::dataFor(Atom target,
                                                                       const PasteboardContents& contents) {
    if (const TextTarget* text = textTarget(atoms_->find(target)); text && text->offered) {
        const auto plain = textOf(contents);
        if (!plain) return std::nullopt;
        auto [type, bytes] = encodeText(*text, *plain);
        return std::make_pair((*atoms_)[type], std::move(bytes));
    }
    const std::string name = connection_->atomName(target);
    for (const auto& [type, bytes] : contents.formats)
        if (type == name) return std::make_pair(target, bytes);
    return std::nullopt;
}

}  // namespace desktop
