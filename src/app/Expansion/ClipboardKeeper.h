#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "desktop/Pasteboard.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"

namespace sablix {

// Keeps the user's clipboard through a paste: saves what the selections hold, puts the snippet
// on them and puts the user's contents back once, after the pasting application fetched it.
//
// The application fetches the pasted text when it gets round to the key, which a busy one does
// late: putting the old clipboard back before it asked would make it paste that instead. So the
// restore waits for the request, and a while longer, since some applications ask more than once.
// A paste never waits for the previous one's restore: its save cancels it and takes over what
// that one saved, so the user's own clipboard, not an earlier snippet, is what finally comes back.
//
// Saves and restores run one at a time on the keeper's queue "com.sablix.textreplacer.clipboard".
class ClipboardKeeper {
public:
    // Counted from the application's request for the pasted text.
    static constexpr std::chrono::milliseconds kDelayBeforeRestore{300};
    // An application that has not asked for the paste by then is not going to: the clipboard
    // goes back anyway.
    static constexpr std::chrono::milliseconds kLongestWaitForPasteRequest{2000};
    // Saving the user's clipboard never delays the paste by more than this. On a busy machine the
    // owner takes well over 100 ms to be scheduled at all; past the budget the clipboard is lost.
    static constexpr std::chrono::milliseconds kSaveBudget{250};

    // What one paste saved of each selection it writes.
    class Saved {
    private:
        friend class ClipboardKeeper;
        static constexpr int64_t kNotWritten = -1;
        // A restore puts the contents back only while nobody wrote the selection since the
        // snippet did.
        struct Selection {
            desktop::Pasteboard* pasteboard = nullptr;
            std::optional<desktop::PasteboardContents> contents;
            int64_t changeCountAfterWrite = kNotWritten;
            bool takenOver = false;  // saved by an earlier paste whose restore this one cancelled
        };
        std::vector<Selection> selections_;
    };

    // Watches both selections for the application's request. `restoreTimer` runs the restores
    // after their delays; none: the keeper's queue.
    ClipboardKeeper(desktop::Pasteboard& clipboard, desktop::Pasteboard& primarySelection,
                    platform::Executor* restoreTimer);
    ~ClipboardKeeper();
    ClipboardKeeper(const ClipboardKeeper&) = delete;
    ClipboardKeeper& operator=(const ClipboardKeeper&) = delete;

    // Saves the selections on the keeper's queue, so the caller can go on meanwhile. Cancels the
    // restore still waiting; a selection that restore covers and the new paste does not write is
    // put back at once.
    std::future<Saved> startSaving(std::vector<desktop::Pasteboard*> selections);
    Saved save(std::vector<desktop::Pasteboard*> selections);
    // The text the user has on the clipboard. While an earlier snippet still sits there, the
    // user's contents go back first and are read from there.
    std::optional<std::string> userClipboardText(const Saved& saved);
    // Puts the text on every saved selection; false (logged, and the user's contents put back)
    // when one refuses it.
    bool putSnippet(Saved& saved, const std::string& text);
    // Whether the application asked for one of the written selections.
    static bool wasFetched(const Saved& saved);
    // Puts the contents back kDelayBeforeRestore after the request, or kLongestWaitForPasteRequest
    // after now when none comes (logged), unless a later save takes over first.
    void restoreLater(Saved saved);
    // Someone copied since the snippet was written: theirs stays. Nobody owned it before: it is
    // emptied again.
    void restoreNow(const Saved& saved);
    // Carries out the restore still waiting, at once.
    void restorePendingNow();
    // Returns when no restore is waiting.
    void waitUntilRestored();

private:
    struct PendingRestore {
        uint64_t generation = 0;
        Saved saved;
        bool served = false;  // the application fetched the snippet: the restore is scheduled
    };

    Saved saveHere(const std::vector<desktop::Pasteboard*>& selections);
    void restoreOnceServed();
    void scheduleRestore(uint64_t generation);
    // With `unlessServed`, a restore waiting for the delay after the request is left to it.
    void restoreIfCurrent(uint64_t generation, bool unlessServed);

    desktop::Pasteboard& clipboard_;
    desktop::Pasteboard& primarySelection_;
    platform::Executor* restoreTimer_;
    platform::Log logger_;

    // Changed on the keeper's queue and by restoreLater(); the mutex lets waitUntilRestored()
    // wait for it.
    std::mutex mutex_;
    std::condition_variable settled_;
    std::optional<PendingRestore> pending_;
    uint64_t generation_ = 0;

    // Destroyed first: no task of it outlives what it uses.
    platform::DispatchQueue queue_{"com.sablix.textreplacer.clipboard"};
};

}  // namespace sablix
