#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ClipboardKeeper.h"
#include "KeyBuffer.h"
#include "PasteTargetPolicy.h"
#include "TriggerCache.h"
#include "Snippets/SnippetController.h"
#include "Analytics/AnalyticsTracking.h"
#include "Snippets/SnippetItem.h"
#include "FillInPresenter.h"
#include "KeyHops.h"
#include "desktop/Accessibility.h"
#include "desktop/KeyDown.h"
#include "desktop/KeyLayout.h"
#include "desktop/KeyPoster.h"
#include "desktop/KeyboardGrab.h"
#include "desktop/KeyTap.h"
#include "desktop/Pasteboard.h"
#include "desktop/Workspace.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/NamedThread.h"
#include "platform/Uuid.h"

namespace sablix {

class TeamSnippetCache;

// The expansion engine: watches every key typed in any application and replaces a typed
// trigger (";" and a snippet's title) by the snippet's content, through the clipboard.
//
// Threads: the tap delivers keys on a thread of its own ("sablix.keytap"), which hands each on
// to "com.sablix.textreplacer.processing": that one hop is all a key costs in hand-offs. Keys are
// handled there one at a time, and the key buffer belongs to that queue. The trigger cache is an
// immutable snapshot published through an atomic pointer, read by each key without a round trip.
// The tap's state and the active team live behind "com.sablix.textreplacer.state". Replacements
// run one at a time on a serial queue of their own, so two quick expansions never interleave
// their keys or clipboard saves.
// The user's clipboard is saved and put back by the ClipboardKeeper, the paste keys chosen by the
// PasteTargetPolicy.
//
// Destroy it on the main thread (where fill-in answers arrive); the destructor shuts it down.
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
        // Holds the keys typed during a replacement until the snippet is in.
        desktop::KeyboardGrab& keyboardGrab;
        desktop::Pasteboard& pasteboard;
        // The PRIMARY selection: terminal emulators paste it (some of them) on Shift-Insert.
        desktop::Pasteboard& primarySelection;
        desktop::Workspace& workspace;
        desktop::Accessibility& accessibility;
        // The personal library and the first-expansion flag.
        platform::Defaults& defaults;
        TeamSnippetLoader loadTeamSnippets;
        AnalyticsTracking& analytics;
        FillInPresenter& fillInController;
        // The present moment of the date fields.
        const platform::Clock& clock;
        // Keys typed while a window of this process is in front are not watched.
        int64_t ownProcessIdentifier = 0;
        Sleep sleep;  // none: the thread really sleeps
        // Runs the clipboard restore and the wait for the paste request after their delays; none:
        // the clipboard keeper's queue.
        platform::Executor* restoreTimer = nullptr;
        // Shared with the other readers of the library; none: the engine decodes it by itself.
        SnippetLibraryCache* libraryCache = nullptr;
        // Sees when each key reached each step; none: no stamps are taken.
        HopObserver* hops = nullptr;
    };

    static constexpr std::chrono::milliseconds kPauseAfterBackspaces{50};
    static constexpr std::chrono::milliseconds kPauseBeforeCaretMove{100};
    static constexpr std::chrono::milliseconds kDelayAfterFillIn{200};
    static constexpr size_t kMaxLeftArrowPresses = 200;
    // Keys typed after a trigger are held until the application has fetched the pasted snippet,
    // but no longer than this.
    static constexpr std::chrono::milliseconds kLongestWaitForPaste{1500};
    // Keys typed before the hold took the keyboard reached the application after the trigger; the
    // tap shows them a moment later. Erasing waits for them this long at most.
    static constexpr std::chrono::milliseconds kLongestWaitForLeakedKeys{500};
    static constexpr const char* kHasFiredFirstExpansionKey = "has_fired_first_expansion";

    explicit TextReplacer(Collaborators collaborators);
    ~TextReplacer();
    TextReplacer(const TextReplacer&) = delete;
    TextReplacer& operator=(const TextReplacer&) = delete;

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
    // At quit, before anything the engine uses goes away: stops the tap, handles the keys already
    // delivered, finishes the replacements under way and puts the user's clipboard back at once
    // rather than after the usual delay. The engine stays stopped.
    void shutDown();

private:
    std::vector<SnippetItem> loadTeamSnippets();
    void runTap(uint64_t generation);
    void handleKeyPress(const desktop::KeyDown& key, KeyHops::Time tapped);
    // hops: where the stamps go, when they are taken.
    void processKey(const desktop::KeyDown& key, KeyHops* hops);
    void handleButtonPress();
    // Whether the key's text, added to the buffer, completes a trigger.
    bool completesTrigger(const std::string& typed, const TriggerCache& cache) const;
    // After the keys already handed on: the buffer belongs to the processing queue.
    void clearKeyBuffer();
    // `windowClass`: the class of the window the trigger was typed in.
    void expand(const TriggerCache::Match& match, std::shared_ptr<const TriggerCache> cache, bool alreadyHeld,
                const std::string& windowClass, KeyHops* hops);
    // keysSetAside: keys typed after the trigger wait for the snippet, which is then posted first.
    FillInPresenter::Completion fillInCompletion(std::string content, std::shared_ptr<const TriggerCache> cache,
                                                 bool keysSetAside);

    void recordFirstExpansion();
    // The rest run on the replacement queue.
    // Erases the trigger and shows the fill-in dialog; a hold outstanding ends once the dialog has
    // the focus, its keys set aside for after the snippet.
    void askForFillIns(size_t triggerLength, bool keysHeld, const std::vector<std::string>& names,
                       const FillInPresenter::Completion& completion);
    // Erases the trigger with Backspaces; the source it posted them from, or none (logged).
    std::unique_ptr<desktop::KeyEventSource> deleteTypedTrigger(size_t triggerLength, const char* noSourceMessage);
    // The characters the application has from the trigger on: the trigger's and those the keys
    // that reached it after the trigger typed.
    size_t typedLength(size_t triggerLength, const std::vector<desktop::KeyDown>& typedAfter);
    void performReplacement(size_t triggerLength, const std::string& content, std::shared_ptr<const TriggerCache> cache,
                            const PasteTarget& target, bool keysHeld, std::optional<ExpansionHops> hops);
    PasteTarget pasteTarget();
    void pasteContent(desktop::KeyEventSource& source, const std::string& content,
                      const std::shared_ptr<const TriggerCache>& cache, const PasteTarget& target,
                      ClipboardKeeper::Saved saved, bool keysHeld, ExpansionHops* hops = nullptr);
    // Returns once the application asked for one of the written selections, or after
    // kLongestWaitForPaste.
    void waitForPasteRequest(const ClipboardKeeper::Saved& written);
    void moveCursorBack(size_t offset, const std::string& content, desktop::KeyEventSource& source);
    bool positionCursorViaAccessibility(size_t offset, const std::string& content);
    void postKeyPresses(desktop::KeyEventSource& source, int keyCode, size_t count, uint64_t flags = 0);

    desktop::KeyTapFactory makeTap_;
    desktop::KeyLayout& keyLayout_;
    desktop::KeyPoster& keyPoster_;
    desktop::KeyboardGrab& keyboardGrab_;
    desktop::Workspace& workspace_;
    desktop::Accessibility& accessibility_;
    platform::Defaults& defaults_;
    TeamSnippetLoader teamSnippetLoader_;
    AnalyticsTracking& analytics_;
    FillInPresenter& fillInController_;
    const platform::Clock& clock_;
    int64_t ownProcessIdentifier_;
    Sleep sleep_;
    HopObserver* hops_;
    PasteTargetPolicy pasteTargets_;
    // Outlives the queues below, whose tasks use it.
    ClipboardKeeper clipboardKeeper_;
    SnippetController snippetController_;
    platform::Log logger_;

    // Guarded by stateQueue_.
    std::shared_ptr<desktop::KeyTap> eventTap_;
    uint64_t tapGeneration_ = 0;  // moves at every unregister(), so a late worker knows it is stale
    bool isRegistered_ = false;
    bool hasCheckedPermissions_ = false;
    std::optional<platform::Uuid> activeTeamId_;

    // Touched only by tasks of processingQueue_, so a key needs no other thread.
    KeyBuffer keyBuffer_;
    uint64_t keyBufferWindow_ = 0;  // the window the buffer's keys were typed in

    // Immutable snapshots, swapped whole: each key loads the current one without waiting for
    // anyone, and a rebuild never blocks a key.
    std::atomic<std::shared_ptr<const TriggerCache>> triggerCache_;

    // The tap's threads not yet joined: the current one, and earlier ones that may still be
    // winding down. shutDown() waits for them all.
    std::mutex tapThreadsMutex_;
    std::list<platform::NamedThread> tapThreads_;

    // Kept in memory so a store that refuses the write is not asked again at every expansion.
    std::atomic<bool> hasFiredFirstExpansion_{false};

    // Fill-in answers arrive on the main thread and check this before touching the engine.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);

    // Destroyed in reverse order: processing (which feeds replacements) first, the state last.
    mutable platform::DispatchQueue stateQueue_{"com.sablix.textreplacer.state"};
    platform::DispatchQueue replacementQueue_{"com.sablix.textreplacer.replacement"};
    platform::DispatchQueue processingQueue_{"com.sablix.textreplacer.processing"};
};

}  // namespace sablix
