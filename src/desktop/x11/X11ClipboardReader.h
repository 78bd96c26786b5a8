#pragma once
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "desktop/Pasteboard.h"
#include "desktop/x11/X11Atoms.h"
#include "desktop/x11/X11Display.h"
#include "desktop/x11/X11Pasteboard.h"
#include "platform/Log.h"

namespace desktop {

// Reads what another client holds in a selection, on the caller's thread, through an X connection
// of its own (opened on first use, and again after it broke), one read at a time. Every read keeps
// to its deadline, and an owner silent for X11Pasteboard::kReadTimeout is given up on, so a frozen
// owner cannot hang the caller.
class X11ClipboardReader {
public:
    using Clock = std::chrono::steady_clock;

    X11ClipboardReader(std::string displayName, X11Pasteboard::Selection selection);
    ~X11ClipboardReader();
    X11ClipboardReader(const X11ClipboardReader&) = delete;
    X11ClipboardReader& operator=(const X11ClipboardReader&) = delete;

    // The selection's plain text; none when nobody owns it, it holds no text, or the owner did not
    // answer in time. An owner of this process that `inProcess` can read is read directly.
    std::optional<std::string> text(X11Pasteboard::InProcessOwner* inProcess);
    // Every format the owner hands over within the budget, text first; see Pasteboard::contents().
    std::optional<PasteboardContents> contents(std::chrono::milliseconds budget);

private:
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

    bool open();
    bool lost() const { return !connection_ || connection_->lost(); }
    std::vector<Atom> targetList(const Reply& reply) const;
    std::vector<std::string> atomNames(const std::vector<Fetch>& fetches);
    void ask(std::vector<Fetch>& fetches);
    bool collect(std::vector<Fetch>& fetches, Clock::time_point deadline);
    bool fetchAll(std::vector<Fetch>& fetches, Clock::time_point deadline);
    bool take(std::vector<Fetch>& fetches, const XEvent& event);
    std::optional<Reply> readProperty(Window window);
    std::nullopt_t timedOut(const std::vector<Fetch>& fetches);

    const std::string displayName_;
    const X11Pasteboard::Selection selectionKind_;
    const platform::Log logger_ = platform::appLog("Pasteboard");

    std::timed_mutex mutex_;
    // Under mutex_:
    std::unique_ptr<X11Display> connection_;
    std::optional<X11Atoms> atoms_;
    Atom selection_ = None;
};

}  // namespace desktop
