#include "desktop/x11/X11ClipboardReader.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "desktop/x11/X11ClipboardFormats.h"
#include "posix/LogText.h"

namespace desktop {
namespace {

// About what an INCR transfer between two clients of one X server carries (measured: 20 MB in
// 40-75 ms); used only to give up at once on a transfer that cannot fit the budget.
constexpr size_t kLocalBytesPerMillisecond = 256 * 1024;

}  // namespace

X11ClipboardReader::X11ClipboardReader(std::string displayName, X11Pasteboard::Selection selection)
    : displayName_(std::move(displayName)), selectionKind_(selection) {}

X11ClipboardReader::~X11ClipboardReader() = default;

std::optional<std::string> X11ClipboardReader::text(X11Pasteboard::InProcessOwner* inProcess) {
    const auto deadline = Clock::now() + X11Pasteboard::kReadTimeout;
    std::unique_lock lock(mutex_, std::defer_lock);
    if (!lock.try_lock_until(deadline)) return std::nullopt;
    if (!open()) return std::nullopt;
    const Window owner = XGetSelectionOwner(connection_->get(), selection_);
    if (owner == None) return std::nullopt;
    if (inProcess && inProcess->canAnswer(owner)) return inProcess->text(selectionKind_);
    for (const auto& target : kTextTargets) {
        if (!target.offered) continue;
        std::vector<Fetch> fetch{Fetch{(*atoms_)[target.type]}};
        if (!fetchAll(fetch, deadline)) return timedOut(fetch);
        // Some owners answer every target with whatever they hold; only text counts here.
        if (fetch[0].state != Fetch::State::done || fetch[0].reply.format != 8) continue;
        if (auto text = decodeText(encodingOf(atoms_->find(fetch[0].reply.type)), fetch[0].reply.data)) return text;
    }
    return std::nullopt;
}

std::optional<PasteboardContents> X11ClipboardReader::contents(std::chrono::milliseconds budget) {
    const auto deadline = Clock::now() + budget;
    std::unique_lock lock(mutex_, std::defer_lock);
    if (!lock.try_lock_until(deadline)) return std::nullopt;
    if (!open()) return std::nullopt;
    if (XGetSelectionOwner(connection_->get(), selection_) == None) return std::nullopt;
    std::vector<Fetch> targets{Fetch{(*atoms_)[X11Atom::targets]}};
    if (!fetchAll(targets, deadline)) return timedOut(targets);
    if (targets[0].state != Fetch::State::done) return std::nullopt;

    // The plain text is asked for first and on its own: an owner may hold its answers until
    // it has worked through every request it read, and one format that it is slow to make
    // must not hold back the text. Within each group every format is asked for at once, so
    // the owner answers one after the other without waiting for us in between.
    std::vector<Fetch> fetches;
    for (Atom target : targetList(targets[0].reply)) fetches.push_back(Fetch{target});
    const auto rest = std::stable_partition(fetches.begin(), fetches.end(), [&](const Fetch& f) {
        return encodingOf(atoms_->find(f.target)) != TextEncoding::none;
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
        logger_.error("Clipboard formats not saved, the owner did not hand them over in %lld ms: %s",
                      static_cast<long long>(budget.count()), posix::escapedForLog(list).c_str());
    }
    return out;
}

bool X11ClipboardReader::open() {
    if (!lost()) return true;
    atoms_.reset();
    connection_.reset();
    connection_ = X11Display::open(displayName_);
    if (!connection_) return false;
    atoms_.emplace(connection_->get());
    selection_ = (*atoms_)[selectionKind_ == X11Pasteboard::Selection::primary ? X11Atom::primary : X11Atom::clipboard];
    return true;
}

std::vector<Atom> X11ClipboardReader::targetList(const Reply& reply) const {
    std::vector<Atom> list;
    if (reply.format != 32) return list;
    const size_t count = reply.data.size() / sizeof(long);
    const long* values = reinterpret_cast<const long*>(reply.data.data());
    for (size_t i = 0; i < count; ++i) {
        const Atom atom = Atom(static_cast<unsigned long>(values[i]));
        if (atom != None && !isMetaTarget(atoms_->find(atom)) &&
            std::find(list.begin(), list.end(), atom) == list.end())
            list.push_back(atom);
    }
    return list;
}

// The targets' names in one round trip.
std::vector<std::string> X11ClipboardReader::atomNames(const std::vector<Fetch>& fetches) {
    std::vector<Atom> atoms;
    for (const auto& fetch : fetches) atoms.push_back(fetch.target);
    std::vector<char*> names(atoms.size(), nullptr);
    std::vector<std::string> out(atoms.size());
    if (atoms.empty() || !XGetAtomNames(connection_->get(), atoms.data(), int(atoms.size()), names.data())) return out;
    for (size_t i = 0; i < names.size(); ++i) {
        out[i] = names[i];
        XFree(names[i]);
    }
    return out;
}

void X11ClipboardReader::ask(std::vector<Fetch>& fetches) {
    for (auto& fetch : fetches) {
        fetch.window = connection_->createPropertyWindow();
        XConvertSelection(connection_->get(), selection_, fetch.target, (*atoms_)[X11Atom::ownProperty], fetch.window,
                          CurrentTime);
    }
    XFlush(connection_->get());
}

// Takes the owner's answers as they come until every fetch is answered, the deadline passes,
// or the owner has been silent for kReadTimeout; then drops the windows, so whatever the
// owner still sends goes nowhere. False when an answer is missing.
bool X11ClipboardReader::collect(std::vector<Fetch>& fetches, Clock::time_point deadline) {
    Display* display = connection_->get();
    auto lastActivity = Clock::now();
    auto pending = [&] {
        return std::any_of(fetches.begin(), fetches.end(), [](const Fetch& f) { return f.pending(); });
    };
    while (pending() && !lost()) {
        const auto until = std::min(deadline, lastActivity + X11Pasteboard::kReadTimeout);
        if (Clock::now() >= until) break;
        connection_->waitForInput(until, -1);
        while (!lost() && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (take(fetches, event)) lastActivity = Clock::now();
        }
        // A transfer announced as larger than what a local connection carries before the
        // deadline is given up at once: waiting for it would only spend the rest of the budget
        // and still leave it out.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const size_t reachable = static_cast<size_t>(std::max<long long>(left, 0)) * kLocalBytesPerMillisecond;
        for (auto& fetch : fetches)
            if (fetch.state == Fetch::State::incremental && fetch.announcedSize > reachable + fetch.reply.data.size())
                fetch.state = Fetch::State::abandoned;
    }
    for (const auto& fetch : fetches) XDestroyWindow(display, fetch.window);
    XFlush(display);
    return !pending();
}

bool X11ClipboardReader::fetchAll(std::vector<Fetch>& fetches, Clock::time_point deadline) {
    ask(fetches);
    return collect(fetches, deadline);
}

// One event on the connection; true when it moved a fetch on.
bool X11ClipboardReader::take(std::vector<Fetch>& fetches, const XEvent& event) {
    const Window window = event.type == SelectionNotify  ? event.xselection.requestor
                          : event.type == PropertyNotify ? event.xproperty.window
                                                         : None;
    const auto it = std::find_if(fetches.begin(), fetches.end(), [&](const Fetch& f) { return f.window == window; });
    if (window == None || it == fetches.end()) return false;
    Fetch& fetch = *it;
    if (event.type == SelectionNotify && fetch.state == Fetch::State::asked &&
        event.xselection.selection == selection_ && event.xselection.target == fetch.target) {
        auto reply = event.xselection.property == None ? std::nullopt : readProperty(fetch.window);
        if (!reply) {
            fetch.state = Fetch::State::refused;
        } else if (reply->type == (*atoms_)[X11Atom::incr]) {
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
        event.xproperty.atom == (*atoms_)[X11Atom::ownProperty] && event.xproperty.state == PropertyNewValue) {
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

std::optional<X11ClipboardReader::Reply> X11ClipboardReader::readProperty(Window window) {
    Display* display = connection_->get();
    const Atom property = (*atoms_)[X11Atom::ownProperty];
    Reply reply;
    long offset = 0;
    for (;;) {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, window, property, offset, 1 << 20, False, AnyPropertyType, &type, &format,
                               &count, &after, &data) != Success) {
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
    XDeleteProperty(display, window, property);
    return reply;
}

std::nullopt_t X11ClipboardReader::timedOut(const std::vector<Fetch>& fetches) {
    if (!lost())
        logger_.error("The clipboard owner did not answer in time (%s)",
                      posix::escapedForLog(connection_->atomName(fetches[0].target)).c_str());
    return std::nullopt;
}

}  // namespace desktop
