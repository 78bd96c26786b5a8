#pragma once
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "desktop/Pasteboard.h"

namespace desktop {

// An X selection: CLIPBOARD or PRIMARY. While this process owns it, a thread of its own with
// its own X connection answers other applications' requests (TARGETS, the text types, every
// stored format by its MIME type, large data in INCR steps), so pasting never depends on a
// thread that may be busy. Reads wait at most kReadTimeout for a silent owner (contents() at most
// its budget), so a frozen owner cannot hang the caller. Needs no Qt event loop and no window
// manager; safe from any thread.
class X11Pasteboard final : public Pasteboard {
public:
    static constexpr std::chrono::milliseconds kReadTimeout{1000};
    // How long handOverToClipboardManager() waits for the manager to take the copy.
    static constexpr std::chrono::milliseconds kHandOverTimeout{3000};

    enum class Selection {
        clipboard,  // CLIPBOARD: what Control-C and Control-V use
        primary,    // PRIMARY: the last selected text, what terminals paste on Shift-Insert
    };

    // Another X connection of this process that may own the selection (a toolkit's). Asking X for
    // its data would route the request back into this process, possibly to the very thread that
    // asks, which then cannot answer: such an owner is read directly instead.
    class InProcessOwner {
    public:
        virtual ~InProcessOwner() = default;
        // Whether the window was made on this owner's connection (the answer holds on any thread).
        virtual bool isOwnWindow(unsigned long window) = 0;
        // Whether `ownerWindow` is one of this owner's windows and it can be read on the calling thread.
        virtual bool canAnswer(unsigned long ownerWindow) = 0;
        // The selection's plain text, or none.
        virtual std::optional<std::string> text(Selection selection) = 0;
    };

    // Opens its connections to the named display ($DISPLAY when empty). Without a display,
    // every read gives none and every write fails.
    explicit X11Pasteboard(const std::string& displayName = {}, Selection selection = Selection::clipboard);
    ~X11Pasteboard() override;
    X11Pasteboard(const X11Pasteboard&) = delete;
    X11Pasteboard& operator=(const X11Pasteboard&) = delete;

    bool isAvailable() const;
    // Consulted by string() when someone else in this process owns the selection, and to tell this
    // process's own requests from other applications' (which alone count as served); none by default.
    void setInProcessOwner(std::shared_ptr<InProcessOwner> owner);

    // At quit: while this process owns the CLIPBOARD, asks the desktop's clipboard manager (if
    // one runs) to take a copy, so the content outlives the process; requests are served
    // meanwhile. Waits at most kHandOverTimeout; true when the manager took it. Returns false at
    // once when there is no manager, nothing of ours to hand over, or this is PRIMARY (which
    // managers do not keep).
    bool handOverToClipboardManager();

    int64_t changeCount() override;
    std::optional<std::string> string() override;
    std::optional<PasteboardContents> contents(std::chrono::milliseconds budget) override;
    bool setString(const std::string& text) override;
    bool setContents(const PasteboardContents& contents) override;
    bool clearContents() override;
    int64_t servedChangeCount() override;
    void setServedHandler(std::function<void()> handler) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace desktop
