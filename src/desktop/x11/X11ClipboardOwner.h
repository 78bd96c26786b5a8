#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "desktop/Pasteboard.h"
#include "desktop/x11/X11Atoms.h"
#include "desktop/x11/X11Display.h"
#include "desktop/x11/X11IncrementalSender.h"
#include "desktop/x11/X11Pasteboard.h"
#include "platform/Log.h"
#include "platform/NamedThread.h"

namespace desktop {

// Makes this process the owner of a selection and answers other clients for it: TARGETS,
// TIMESTAMP, the text types, every stored format by its MIME type. A thread of its own
// ("sablix.clipbrd" or "sablix.primary") is the only user of its X connection and never waits on
// another client, so pasting never depends on a thread that may be busy. Writes and the hand-over
// to the clipboard manager are handed to that thread and waited for. Counts every change of the
// selection, and what a write of ours left once another application fetched it.
class X11ClipboardOwner {
public:
    using Clock = std::chrono::steady_clock;
    // Whether a window belongs to this process: its reads are not an application pasting.
    using IsOwnWindow = std::function<bool(unsigned long window)>;

    X11ClipboardOwner(const std::string& displayName, X11Pasteboard::Selection selection, IsOwnWindow isOwnWindow);
    ~X11ClipboardOwner();
    X11ClipboardOwner(const X11ClipboardOwner&) = delete;
    X11ClipboardOwner& operator=(const X11ClipboardOwner&) = delete;

    bool isAvailable() const { return connection_ && !lost(); }
    int64_t changeCount() const { return changeCount_.load(); }
    int64_t servedChangeCount() const { return servedChangeCount_.load(); }
    void setServedHandler(std::function<void()> handler);
    // What this process last wrote, while it still owns the selection.
    std::optional<PasteboardContents> ownedContents();

    bool setContents(const PasteboardContents& contents);
    // Gives the selection up while this process owns it, so nobody does.
    bool clearContents();
    // See X11Pasteboard::handOverToClipboardManager().
    bool handOverToClipboardManager();

private:
    struct Command;

    bool lost() const { return connection_->lost(); }
    void wake();
    bool run(const std::shared_ptr<Command>& command, std::chrono::milliseconds timeout, const char* timeoutMessage);

    // On the owner thread:
    void runOwner();
    void handlePending();
    void runCommands();
    void failPendingCommands();
    std::optional<Time> serverTime();
    bool takeOwnership(PasteboardContents contents);
    bool giveUpOwnership();
    void startHandOver(const std::shared_ptr<Command>& command);
    void finishHandOver(bool taken);
    void expireHandOver();
    void handleEvent(const XEvent& event);
    void answer(const XSelectionRequestEvent& request);
    std::vector<Atom> targetsFor(const PasteboardContents& contents);
    std::optional<std::pair<Atom, std::string>> dataFor(Atom target, const PasteboardContents& contents);

    const X11Pasteboard::Selection selectionKind_;
    const IsOwnWindow isOwnWindow_;
    const platform::Log logger_ = platform::appLog("Pasteboard");
    std::unique_ptr<X11Display> connection_;
    Display* display_ = nullptr;
    std::optional<X11Atoms> atoms_;
    Window window_ = None;
    Atom selection_ = None;
    int fixesEventBase_ = -1;
    int wakeFd_ = -1;

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
    std::optional<X11IncrementalSender> sender_;
    std::shared_ptr<Command> handOver_;
    Clock::time_point handOverDeadline_;

    std::optional<platform::NamedThread> thread_;  // last: it starts once everything it uses is in place
};

}  // namespace desktop
