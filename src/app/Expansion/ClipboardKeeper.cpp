#include "ClipboardKeeper.h"

#include <algorithm>
#include <memory>

namespace sablix {
namespace {

// Its messages are the engine's.
constexpr const char* kLogCategory = "TextReplacer";
constexpr const char* kClipboardWriteFailedMessage = "Failed to put the snippet on the clipboard";
constexpr const char* kPasteNeverRequestedMessage =
    "The application never asked for the pasted snippet; putting the clipboard back";

}  // namespace

ClipboardKeeper::ClipboardKeeper(desktop::Pasteboard& clipboard, desktop::Pasteboard& primarySelection,
                                 platform::Executor* restoreTimer)
    : clipboard_(clipboard),
      primarySelection_(primarySelection),
      restoreTimer_(restoreTimer ? restoreTimer : &queue_),
      logger_(platform::appLog(kLogCategory)) {
    for (desktop::Pasteboard* selection : {&clipboard_, &primarySelection_})
        selection->setServedHandler([this] { queue_.async([this] { restoreOnceServed(); }); });
}

ClipboardKeeper::~ClipboardKeeper() {
    for (desktop::Pasteboard* selection : {&clipboard_, &primarySelection_}) selection->setServedHandler(nullptr);
}

std::future<ClipboardKeeper::Saved> ClipboardKeeper::startSaving(std::vector<desktop::Pasteboard*> selections) {
    auto task = std::make_shared<std::packaged_task<Saved()>>(
        [this, selections = std::move(selections)] { return saveHere(selections); });
    auto saved = task->get_future();
    queue_.async([task] { (*task)(); });
    return saved;
}

ClipboardKeeper::Saved ClipboardKeeper::save(std::vector<desktop::Pasteboard*> selections) {
    return queue_.sync([this, &selections] { return saveHere(selections); });
}

ClipboardKeeper::Saved ClipboardKeeper::saveHere(const std::vector<desktop::Pasteboard*>& selections) {
    std::optional<PendingRestore> pending;
    {
        std::lock_guard lock(mutex_);
        pending.swap(pending_);  // cancelled: its task finds its generation gone
    }
    settled_.notify_all();
    Saved saved;
    for (desktop::Pasteboard* selection : selections) {
        Saved::Selection entry;
        entry.pasteboard = selection;
        const Saved::Selection* earlier = nullptr;
        if (pending) {
            for (const auto& candidate : pending->saved.selections_)
                if (candidate.pasteboard == selection) earlier = &candidate;
        }
        // Unless someone wrote it since, the selection still holds the earlier snippet, and what
        // the user had is what that paste saved.
        if (earlier && selection->changeCount() == earlier->changeCountAfterWrite) {
            entry.contents = earlier->contents;
            entry.changeCountAfterWrite = earlier->changeCountAfterWrite;
            entry.takenOver = true;
        } else {
            // Every format, not just text: an image or a file list must survive too.
            entry.contents = selection->contents(kSaveBudget);
        }
        saved.selections_.push_back(std::move(entry));
    }
    // A selection the earlier paste wrote and this one does not (PRIMARY, when the terminal is
    // no longer in front) is put back now.
    if (pending) {
        Saved leftOver;
        for (const auto& earlier : pending->saved.selections_)
            if (std::ranges::find(selections, earlier.pasteboard) == selections.end())
                leftOver.selections_.push_back(earlier);
        restoreNow(leftOver);
    }
    return saved;
}

std::optional<std::string> ClipboardKeeper::userClipboardText(const Saved& saved) {
    const auto clipboard = std::ranges::find(saved.selections_, &clipboard_, &Saved::Selection::pasteboard);
    if (clipboard != saved.selections_.end() && clipboard->takenOver &&
        !(clipboard->contents && clipboard_.setContents(*clipboard->contents)))
        return std::nullopt;
    return clipboard_.string();
}

bool ClipboardKeeper::putSnippet(Saved& saved, const std::string& text) {
    for (auto& selection : saved.selections_) {
        if (!selection.pasteboard->setString(text)) {
            logger_.error("%s", kClipboardWriteFailedMessage);
            restoreNow(saved);
            return false;
        }
        selection.changeCountAfterWrite = selection.pasteboard->changeCount();
    }
    return true;
}

bool ClipboardKeeper::wasFetched(const Saved& saved) {
    return std::ranges::any_of(saved.selections_, [](const Saved::Selection& selection) {
        return selection.changeCountAfterWrite != Saved::kNotWritten &&
               selection.pasteboard->servedChangeCount() == selection.changeCountAfterWrite;
    });
}

void ClipboardKeeper::restoreLater(Saved saved) {
    uint64_t generation = 0;
    bool served = false;
    {
        std::lock_guard lock(mutex_);
        generation = ++generation_;
        served = wasFetched(saved);
        pending_ = PendingRestore{generation, std::move(saved), served};
    }
    if (served) {
        scheduleRestore(generation);
        return;
    }
    restoreTimer_->asyncAfter(kLongestWaitForPasteRequest, [this, generation] {
        queue_.sync([this, generation] { restoreIfCurrent(generation, true); });
    });
}

void ClipboardKeeper::restoreOnceServed() {
    uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (!pending_ || pending_->served || !wasFetched(pending_->saved)) return;
        pending_->served = true;
        generation = pending_->generation;
    }
    scheduleRestore(generation);
}

void ClipboardKeeper::scheduleRestore(uint64_t generation) {
    restoreTimer_->asyncAfter(kDelayBeforeRestore, [this, generation] {
        queue_.sync([this, generation] { restoreIfCurrent(generation, false); });
    });
}

void ClipboardKeeper::restoreIfCurrent(uint64_t generation, bool unlessServed) {
    std::optional<PendingRestore> pending;
    {
        std::lock_guard lock(mutex_);
        if (!pending_ || pending_->generation != generation) return;  // taken over
        if (unlessServed && pending_->served) return;
        pending.swap(pending_);
    }
    if (unlessServed) logger_.error("%s", kPasteNeverRequestedMessage);
    restoreNow(pending->saved);
    settled_.notify_all();
}

void ClipboardKeeper::restoreNow(const Saved& saved) {
    for (const auto& selection : saved.selections_) {
        if (selection.pasteboard->changeCount() != selection.changeCountAfterWrite) continue;
        // Nothing was there, or nothing that could be read in time: the snippet (a password,
        // say) does not stay behind.
        if (!selection.contents || selection.contents->empty())
            selection.pasteboard->clearContents();
        else
            selection.pasteboard->setContents(*selection.contents);
    }
}

void ClipboardKeeper::restorePendingNow() {
    queue_.sync([this] {
        std::optional<PendingRestore> pending;
        {
            std::lock_guard lock(mutex_);
            pending.swap(pending_);
        }
        if (pending) restoreNow(pending->saved);
        settled_.notify_all();
    });
}

void ClipboardKeeper::waitUntilRestored() {
    std::unique_lock lock(mutex_);
    settled_.wait(lock, [this] { return !pending_; });
}

}  // namespace sablix
