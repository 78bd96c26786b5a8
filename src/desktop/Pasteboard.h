#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace desktop {

// Everything the clipboard offers, format by format (MIME type, bytes), in the owner's order.
struct PasteboardContents {
    std::vector<std::pair<std::string, std::string>> formats;
    // Formats the owner offered that could not be fetched in time: putting these contents back
    // restores only part of what was there.
    std::vector<std::string> skipped = {};
    bool empty() const { return formats.empty(); }
};

// The general pasteboard: an X selection (CLIPBOARD, or PRIMARY for terminals). Reads are
// bounded in time, so a frozen owner cannot hang the caller. Safe to use from any thread.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    // Moves whenever anyone (this process included) writes the clipboard.
    virtual int64_t changeCount() = 0;
    // The plain text on the clipboard, or none.
    virtual std::optional<std::string> string() = 0;
    // Every format on the clipboard that can be fetched within the budget (in total, however slow
    // or frozen the owner), plain text first; formats left over are named in `skipped`. None when
    // nobody owns it or the owner did not even list its formats in time.
    virtual std::optional<PasteboardContents> contents(std::chrono::milliseconds budget) = 0;
    // Replaces the clipboard with the text (as plain UTF-8 text). False when it failed.
    virtual bool setString(const std::string& text) = 0;
    // Replaces the clipboard with every given format.
    virtual bool setContents(const PasteboardContents& contents) = 0;
    // Leaves the clipboard as it is when nothing was ever copied: nobody owns it, and a paste
    // gets nothing. False when it failed.
    virtual bool clearContents() = 0;

    // The change count a write of this process left, once another application has been handed
    // that content (its data, not merely the list of its formats); an older count until then.
    // Tells whether the application that was asked to paste has fetched what was written.
    virtual int64_t servedChangeCount() = 0;
    // Called on a thread of the pasteboard's each time servedChangeCount() may have moved. One
    // handler at a time; once setServedHandler() returns, the previous one is not running and
    // is never called again.
    virtual void setServedHandler(std::function<void()> handler) = 0;
};

}  // namespace desktop
