#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "KeyBuffer.h"
#include "TriggerCache.h"
#include "Controllers/SnippetController.h"
#include "Models/AnalyticsTracking.h"
#include "Models/SnippetItem.h"
#include "Views/FillInPresenter.h"
#include "desktop/Accessibility.h"
#include "desktop/KeyDown.h"
#include "desktop/KeyLayout.h"
#include "desktop/KeyPoster.h"
#include "desktop/KeyTap.h"
#include "desktop/Pasteboard.h"
#include "desktop/Workspace.h"
#include "platform/Defaults.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/Uuid.h"

namespace sablix {

class TeamSnippetCache;

// The expansion engine: watches every key typed in any application and replaces a typed
// trigger (";" and a snippet's title) by the snippet's content, through the clipboard.
//
// Threads: the tap delivers keys on its own worker (a thread of the global user-interactive
// queue); keys are handled one at a time on "com.sablix.textreplacer.processing"; the engine's
// state lives behind "com.sablix.textreplacer.state"; replacements run one at a time on a serial
// queue of their own, so two quick expansions never interleave their keys or clipboard saves.
//
// Destroy it on the main thread (where fill-in answers arrive); the destructor stops the tap and
// waits for the work in flight.
class TextReplacer {
public:
    // The active team's snippets, without deleted ones; throws when the database fails.
    using TeamSnippetLoader = std::function<std::vector<SnippetItem>(const platform::Uuid& teamId)>;
    // The loader the application uses: the active team's live snippets from the team database.
    static TeamSnippetLoader teamSnippetLoader(TeamSnippetCache& cache);
    // Blocks the calling thread for the given time (the replacement's pauses).
    using Sleep = std::function<void(std::chrono::milliseconds)>;

    struct Collaborators {
        desktop::KeyTapFactory makeTap;
        desktop::KeyLayout& keyLayout;
        desktop::KeyPoster& keyPoster;
        desktop::Pasteboard& pasteboard;
        desktop::Workspace& workspace;
        desktop::Accessibility& accessibility;
        // The personal library and the first-expansion flag.
        platform::Defaults& defaults;
        TeamSnippetLoader loadTeamSnippets;
        AnalyticsTracking& analytics;
        FillInPresenter& fillInController;
        // Keys typed while a window of this process is in front are not watched.
        int64_t ownProcessIdentifier = 0;
        Sleep sleep;  // none: the thread really sleeps
    };

    static constexpr std::chrono::milliseconds kPauseAfterBackspaces{50};
    static constexpr std::chrono::milliseconds kPauseBeforeCaretMove{100};
    static constexpr std::chrono::milliseconds kDelayAfterFillIn{200};
    static constexpr std::chrono::milliseconds kDelayBeforeClipboardRestore{300};
    // Saving the user's clipboard never delays the paste by more than this.
    static constexpr std::chrono::milliseconds kClipboardSaveBudget{100};
    static constexpr size_t kMaxLeftArrowPresses = 200;
    static constexpr const char* kHasFiredFirstExpansionKey = "has_fired_first_expansion";

    explicit TextReplacer(Collaborators collaborators);
    ~TextReplacer();
    TextReplacer(const TextReplacer&) = delete;
    TextReplacer& operator=(const TextReplacer&) = delete;

    // The engine of the process, on the X display of $DISPLAY and the user's defaults.
    static TextReplacer& shared();

    bool isRegistered() const;
    void setIsRegistered(bool registered);
    bool hasCheckedPermissions() const;
    void setHasCheckedPermissions(bool checked);
    // A snapshot: later rebuilds do not change it.
    std::shared_ptr<const TriggerCache> triggerCache() const;
    void setTriggerCache(std::shared_ptr<const TriggerCache> cache);
    // Takes effect at the next refreshSnippetCache().
    std::optional<platform::Uuid> activeTeamId() const;
    void setActiveTeamId(std::optional<platform::Uuid> teamId);

    // Rebuilds the trigger cache from the library and the active team's snippets, on the
    // caller's thread.
    void refreshSnippetCache();
    // Checks the permission and starts the tap on a worker; returns at once. (`register` is a
    // C++ keyword.)
    void registerTap();
    // Stops the tap and empties the key buffer; returns at once.
    void unregister();
    void reset();
    // Asks the desktop's permission prompt only at the first check of the process.
    bool checkAccessibilityPermissions();

    // Returns when the keys handed over so far have been handled and the replacements they
    // started (clipboard restore included) are over.
    void waitUntilIdle();

private:
    std::vector<SnippetItem> loadTeamSnippets();
    void runTap(uint64_t generation);
    void handleKeyPress(const desktop::KeyDown& key);
    void expand(const TriggerCache::Match& match, std::shared_ptr<const TriggerCache> cache);
    FillInPresenter::Completion fillInCompletion(std::string content, std::shared_ptr<const TriggerCache> cache);

    void deleteTypedTrigger(size_t triggerLength);
    void performReplacement(size_t triggerLength, const std::string& content, std::optional<size_t> cursorOffset);
    void pasteContent(const std::string& content, std::optional<size_t> cursorOffset);
    void moveCursorBack(size_t offset, const std::string& content, desktop::KeyEventSource& source);
    bool positionCursorViaAccessibility(size_t offset, const std::string& content);
    void restoreClipboardLater(int64_t changeCount, const std::optional<desktop::PasteboardContents>& saved);
    void postKeyPresses(desktop::KeyEventSource& source, int keyCode, size_t count, uint64_t flags = 0);

    desktop::KeyTapFactory makeTap_;
    desktop::KeyLayout& keyLayout_;
    desktop::KeyPoster& keyPoster_;
    desktop::Pasteboard& pasteboard_;
    desktop::Workspace& workspace_;
    desktop::Accessibility& accessibility_;
    platform::Defaults& defaults_;
    TeamSnippetLoader teamSnippetLoader_;
    AnalyticsTracking& analytics_;
    FillInPresenter& fillInController_;
    int64_t ownProcessIdentifier_;
    Sleep sleep_;
    SnippetController snippetController_;
    platform::Log logger_;

    // Guarded by stateQueue_.
    std::shared_ptr<desktop::KeyTap> eventTap_;
    uint64_t tapGeneration_ = 0;  // moves at every unregister(), so a late worker knows it is stale
    bool isRegistered_ = false;
    bool hasCheckedPermissions_ = false;
    KeyBuffer keyBuffer_;
    std::shared_ptr<const TriggerCache> triggerCache_;
    std::optional<platform::Uuid> activeTeamId_;

    // Tap workers still running, so the destructor can wait for them.
    std::mutex workerMutex_;
    std::condition_variable workerFinished_;
    int runningWorkers_ = 0;

    // Fill-in answers arrive on the main thread and check this before touching the engine.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);

    // Destroyed in reverse order: processing (which feeds replacements) first, the state last.
    mutable platform::DispatchQueue stateQueue_{"com.sablix.textreplacer.state"};
    platform::DispatchQueue replacementQueue_{"com.sablix.textreplacer.replacement"};
    platform::DispatchQueue processingQueue_{"com.sablix.textreplacer.processing"};
};

}  // namespace sablix
