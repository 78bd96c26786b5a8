#pragma once
#include <chrono>
#include <memory>
#include <string>

#include "desktop/Pasteboard.h"

namespace desktop {

// The X CLIPBOARD selection. While this process owns the clipboard, a thread of its own with
// its own X connection answers other applications' requests (TARGETS, the text types, every
// stored format by its MIME type, large data in INCR steps), so pasting never depends on a
// thread that may be busy. Reads wait at most kReadTimeout for the owner, so a frozen owner
// cannot hang the caller. Needs no Qt event loop and no window manager; safe from any thread.
class X11Pasteboard final : public Pasteboard {
public:
    static constexpr std::chrono::milliseconds kReadTimeout{1000};

    enum class Selection {
        clipboard,  // CLIPBOARD: what Control-C and Control-V use
        primary,    // PRIMARY: the last selected text, what terminals paste on Shift-Insert
    };

    // Opens its connections to the named display ($DISPLAY when empty). Without a display,
    // every read gives none and every write fails.
    explicit X11Pasteboard(const std::string& displayName = {}, Selection selection = Selection::clipboard);
    ~X11Pasteboard() override;
    X11Pasteboard(const X11Pasteboard&) = delete;
    X11Pasteboard& operator=(const X11Pasteboard&) = delete;

    // The process's clipboard on $DISPLAY, created on first use.
    static X11Pasteboard& shared();

    bool isAvailable() const;

    // At quit: while this process owns the selection, asks the desktop's clipboard manager (if
    // one runs) to take a copy, so the content outlives the process. Waits a bounded time;
    // true when the manager took it.
    bool handOverToClipboardManager();

    int64_t changeCount() override;
    std::optional<std::string> string() override;
    std::optional<PasteboardContents> contents(std::chrono::milliseconds budget) override;
    bool setString(const std::string& text) override;
    bool setContents(const PasteboardContents& contents) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace desktop
