#include "TextReplacer.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <unistd.h>

#include "Models/AnalyticsEvent.h"
#include "Models/AnalyticsService.h"
#include "Models/DynamicFieldProcessor.h"
#include "Models/TeamSnippetCache.h"
#include "Views/FillInFieldsWindowController.h"
#include "desktop/KeyCodes.h"
#include "desktop/QtMainQueue.h"
#include "desktop/X11Accessibility.h"
#include "desktop/X11KeyLayout.h"
#include "desktop/X11KeyPoster.h"
#include "desktop/X11KeyTap.h"
#include "desktop/X11Pasteboard.h"
#include "desktop/X11Workspace.h"
#include "platform/FileDefaults.h"
#include "platform/TextRules.h"

namespace sablix {
namespace {

constexpr const char* kTapFailedMessage = "Event tap stopped delivering keys; marked unregistered";
constexpr const char* kClipboardWriteFailedMessage = "Failed to put the snippet on the clipboard";

void realSleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

// UTF-16 units of a UTF-8 text: characters beyond the Basic Multilingual Plane take two.
size_t utf16Length(std::string_view text) {
    size_t units = 0;
    for (const unsigned char byte : text) {
        if ((byte & 0xC0) == 0x80) continue;  // continuation byte
        units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

}  // namespace

TextReplacer::TextReplacer(Collaborators c)
    : makeTap_(std::move(c.makeTap)),
      keyLayout_(c.keyLayout),
      keyPoster_(c.keyPoster),
      pasteboard_(c.pasteboard),
      workspace_(c.workspace),
      accessibility_(c.accessibility),
      defaults_(c.defaults),
      teamSnippetLoader_(std::move(c.loadTeamSnippets)),
      analytics_(c.analytics),
      fillInController_(c.fillInController),
      ownProcessIdentifier_(c.ownProcessIdentifier),
      sleep_(c.sleep ? std::move(c.sleep) : Sleep(realSleep)),
      snippetController_(c.defaults),
      logger_(platform::appLog("TextReplacer")),
      triggerCache_(std::make_shared<const TriggerCache>()) {
    logger_.debug("TextReplacer initialized");
    refreshSnippetCache();
}

TextReplacer& TextReplacer::shared() {
    // Made on first use, on the main thread (the fill-in dialog lives there), and kept for the
    // life of the process: queued work and the tap's worker may still refer to it at exit.
    // Its collaborators are never destroyed either, for the same reason.
    static TextReplacer* const instance = [] {
        auto* keyLayout = new desktop::X11KeyLayout;
        auto* keyPoster = new desktop::X11KeyPoster;
        auto* workspace = new desktop::X11Workspace;
        auto* accessibility = new desktop::X11Accessibility;
        auto* fillInController = new FillInFieldsWindowController(*workspace, desktop::QtMainQueue::shared());
        return new TextReplacer(Collaborators{
            .makeTap = [] { return std::make_unique<desktop::X11KeyTap>(); },
            .keyLayout = *keyLayout,
            .keyPoster = *keyPoster,
            .pasteboard = desktop::X11Pasteboard::shared(),
            .workspace = *workspace,
            .accessibility = *accessibility,
            .defaults = platform::FileDefaults::standard(),
            .loadTeamSnippets = teamSnippetLoader(TeamSnippetCache::shared()),
            .analytics = AnalyticsService::shared(),
            .fillInController = *fillInController,
            .ownProcessIdentifier = static_cast<int64_t>(::getpid()),
            .sleep = nullptr,
        });
    }();
    return *instance;
}

TextReplacer::TeamSnippetLoader TextReplacer::teamSnippetLoader(TeamSnippetCache& cache) {
    return [&cache](const platform::Uuid& teamId) {
        cache.open();
        return cache.getSnippets(teamId, false);
    };
}

TextReplacer::~TextReplacer() {
    alive_.reset();
    unregister();
    std::unique_lock lock(workerMutex_);
    workerFinished_.wait(lock, [this] { return runningWorkers_ == 0; });
}

bool TextReplacer::isRegistered() const {
    return stateQueue_.sync([this] { return isRegistered_; });
}

void TextReplacer::setIsRegistered(bool registered) {
    stateQueue_.sync([&] { isRegistered_ = registered; });
}

bool TextReplacer::hasCheckedPermissions() const {
    return stateQueue_.sync([this] { return hasCheckedPermissions_; });
}

void TextReplacer::setHasCheckedPermissions(bool checked) {
    stateQueue_.sync([&] { hasCheckedPermissions_ = checked; });
}

std::shared_ptr<const TriggerCache> TextReplacer::triggerCache() const {
    return stateQueue_.sync([this] { return triggerCache_; });
}

void TextReplacer::setTriggerCache(std::shared_ptr<const TriggerCache> cache) {
    if (!cache) cache = std::make_shared<const TriggerCache>();
    stateQueue_.sync([&] { triggerCache_ = std::move(cache); });
}

std::optional<platform::Uuid> TextReplacer::activeTeamId() const {
    return stateQueue_.sync([this] { return activeTeamId_; });
}

void TextReplacer::setActiveTeamId(std::optional<platform::Uuid> teamId) {
    stateQueue_.sync([&] { activeTeamId_ = teamId; });
}

void TextReplacer::refreshSnippetCache() {
    std::vector<SnippetItem> all = snippetController_.loadItems();
    const std::vector<SnippetItem> team = loadTeamSnippets();
    all.insert(all.end(), team.begin(), team.end());
    setTriggerCache(std::make_shared<const TriggerCache>(all));
    logger_.debug("Snippet cache refreshed with %ld snippets (%ld team)", static_cast<long>(all.size()),
                  static_cast<long>(team.size()));
}

std::vector<SnippetItem> TextReplacer::loadTeamSnippets() {
    const auto teamId = activeTeamId();
    if (!teamId || !teamSnippetLoader_) return {};
    try {
        return teamSnippetLoader_(*teamId);
    } catch (const std::exception& error) {
        logger_.error("Error loading team snippets for TextReplacer: %s", error.what());
    } catch (...) {
        logger_.error("Error loading team snippets for TextReplacer: %s", "unknown error");
    }
    return {};
}

void TextReplacer::registerTap() {
    logger_.debug("Starting register()");
    if (isRegistered()) {
        logger_.debug("Already registered, skipping registration");
        return;
    }
    if (!checkAccessibilityPermissions()) {
        logger_.error("Cannot register - accessibility permissions not granted");
        unregister();
        setIsRegistered(false);
        return;
    }
    unregister();
    const uint64_t generation = stateQueue_.sync([this] { return tapGeneration_; });
    {
        std::lock_guard lock(workerMutex_);
        ++runningWorkers_;
    }
    platform::DispatchQueue::globalUserInteractive().async([this, generation] {
        runTap(generation);
        std::lock_guard lock(workerMutex_);
        --runningWorkers_;
        workerFinished_.notify_all();
    });
}

void TextReplacer::runTap(uint64_t generation) {
    const auto isCurrent = [this, generation] { return tapGeneration_ == generation; };
    if (!stateQueue_.sync(isCurrent)) return;  // unregistered before the worker got going

    std::shared_ptr<desktop::KeyTap> tap = makeTap_ ? makeTap_() : nullptr;
    const bool created = tap && tap->create([this](const desktop::KeyDown& key) {
        processingQueue_.async([this, key] { handleKeyPress(key); });
    });
    if (!created) {
        logger_.error("Failed to create event tap");
        return;
    }
    const bool stored = stateQueue_.sync([&] {
        if (!isCurrent()) return false;
        eventTap_ = tap;
        isRegistered_ = true;
        return true;
    });
    if (!stored) return;
    logger_.info("Event tap registered successfully");

    const auto result = tap->run();
    logger_.debug("Event tap run loop stopped");

    if (result == desktop::KeyTap::RunResult::failed) {
        // The tap died under us (connection lost, context disabled). Counting it as running
        // would keep the watchdog from ever restarting it.
        const bool wasRunning = stateQueue_.sync([&] {
            if (eventTap_ != tap) return false;
            eventTap_.reset();
            ++tapGeneration_;
            isRegistered_ = false;
            keyBuffer_.clear();
            return true;
        });
        if (wasRunning) logger_.error("%s", kTapFailedMessage);
    }
}

void TextReplacer::unregister() {
    logger_.debug("Unregistering event tap");
    const auto tap = stateQueue_.sync([this] {
        auto taken = std::move(eventTap_);
        eventTap_.reset();
        ++tapGeneration_;
        isRegistered_ = false;
        keyBuffer_.clear();
        return taken;
    });
    if (tap) tap->stop();
    logger_.debug("Event tap unregistered");
}

void TextReplacer::reset() {
    logger_.info("Resetting TextReplacer");
    unregister();
    refreshSnippetCache();
    registerTap();
}

bool TextReplacer::checkAccessibilityPermissions() {
    const bool firstCheck = !hasCheckedPermissions();
    const bool trusted = accessibility_.isProcessTrusted(firstCheck);
    logger_.debug("Accessibility permissions: %s", trusted ? "granted" : "denied");
    setHasCheckedPermissions(true);
    return trusted;
}

void TextReplacer::waitUntilIdle() {
    processingQueue_.sync([] {});
    replacementQueue_.sync([] {});
}

void TextReplacer::handleKeyPress(const desktop::KeyDown& key) {
    // "This application is in front" means the frontmost window belongs to this very process
    // (its _NET_WM_PID equals getpid()): the fill-in dialog and the application's own fields.
    if (const auto front = workspace_.frontmostApplication();
        front && front->processIdentifier != 0 && front->processIdentifier == ownProcessIdentifier_) {
        return;
    }

    if (key.keyCode == desktop::keycode::kDelete || key.keyCode == desktop::keycode::kForwardDelete) {
        stateQueue_.sync([this] { keyBuffer_.removeLast(); });
        return;
    }

    // The text comes from the state the key was pressed in, not the keyboard's state now.
    const std::string typed = keyLayout_.text(key);
    if (typed.empty()) {
        logger_.debug("Dead key or modifier key pressed (no Unicode output)");
        return;
    }

    const std::string buffer = stateQueue_.sync([&] { return keyBuffer_.append(typed); });
    const auto cache = triggerCache();
    if (cache->empty()) return;
    const auto match = cache->match(platform::text::lowercased(buffer));
    if (!match) return;
    expand(*match, cache);
}

void TextReplacer::expand(const TriggerCache::Match& match, std::shared_ptr<const TriggerCache> cache) {
    logger_.info("Matched snippet: %s", match.snippet.snippetTitle.c_str());
    analytics_.track(AnalyticsEvent::snippetExpand);
    if (!defaults_.boolean(kHasFiredFirstExpansionKey)) {
        defaults_.set(kHasFiredFirstExpansionKey, platform::DefaultsValue(true));
        analytics_.track(AnalyticsEvent::firstSnippetExpand);
    }
    stateQueue_.sync([this] { keyBuffer_.clear(); });

    const size_t triggerLength = platform::text::length(match.trigger);
    std::string content = match.snippet.snippet;

    if (DynamicFieldProcessor::hasFillFields(content)) {
        auto names = DynamicFieldProcessor::extractFillFields(content);
        logger_.info("Snippet has %ld fill-in field(s), showing dialog", static_cast<long>(names.size()));
        auto completion = fillInCompletion(std::move(content), std::move(cache));
        replacementQueue_.async([this, triggerLength, names = std::move(names), completion = std::move(completion)] {
            deleteTypedTrigger(triggerLength);
            fillInController_.show(names, completion);
        });
        return;
    }

    auto result = DynamicFieldProcessor::processWithCursor(content, cache->snippets());
    replacementQueue_.async([this, triggerLength, result = std::move(result)] {
        performReplacement(triggerLength, result.text, result.cursorOffset);
    });
}

FillInPresenter::Completion TextReplacer::fillInCompletion(std::string content,
                                                           std::shared_ptr<const TriggerCache> cache) {
    std::weak_ptr<int> alive = alive_;
    return [this, alive, content = std::move(content), cache = std::move(cache)](
               std::optional<FillInPresenter::Values> values) {
        if (!values || alive.expired()) return;  // cancelled: the erased trigger stays erased
        const std::string filled = DynamicFieldProcessor::applyFillValues(content, *values);
        auto result = DynamicFieldProcessor::processWithCursor(filled, cache->snippets());
        replacementQueue_.async([this, result = std::move(result)] {
            sleep_(kDelayAfterFillIn);
            pasteContent(result.text, result.cursorOffset);
        });
    };
}

void TextReplacer::postKeyPresses(desktop::KeyEventSource& source, int keyCode, size_t count, uint64_t flags) {
    for (size_t i = 0; i < count; ++i) {
        source.postKey(keyCode, true, flags);
        source.postKey(keyCode, false, flags);
    }
}

void TextReplacer::deleteTypedTrigger(size_t triggerLength) {
    const auto source = keyPoster_.createEventSource();
    if (!source) {
        logger_.error("Failed to create event source for trigger deletion");
        return;
    }
    postKeyPresses(*source, desktop::keycode::kDelete, triggerLength);
    sleep_(kPauseAfterBackspaces);
}

void TextReplacer::performReplacement(size_t triggerLength, const std::string& content,
                                      std::optional<size_t> cursorOffset) {
    const auto source = keyPoster_.createEventSource();
    if (!source) {
        logger_.error("Failed to create event source for text replacement");
        return;
    }
    postKeyPresses(*source, desktop::keycode::kDelete, triggerLength);
    sleep_(kPauseAfterBackspaces);

    // Every format, not just text: an image or a file list on the clipboard must survive too.
    const auto saved = pasteboard_.contents(kClipboardSaveBudget);
    if (!pasteboard_.setString(content)) {
        // Command-V now would paste whatever the clipboard holds instead of the snippet.
        logger_.error("%s", kClipboardWriteFailedMessage);
        return;
    }
    const int64_t changeCount = pasteboard_.changeCount();
    postKeyPresses(*source, desktop::keycode::kV, 1, desktop::keycode::kCommandFlag);
    if (cursorOffset && *cursorOffset >= 1) moveCursorBack(*cursorOffset, content, *source);
    restoreClipboardLater(changeCount, saved);
}

void TextReplacer::pasteContent(const std::string& content, std::optional<size_t> cursorOffset) {
    const auto saved = pasteboard_.contents(kClipboardSaveBudget);
    if (!pasteboard_.setString(content)) {
        logger_.error("%s", kClipboardWriteFailedMessage);
        return;
    }
    const int64_t changeCount = pasteboard_.changeCount();
    const auto source = keyPoster_.createEventSource();
    if (!source) {
        logger_.error("Failed to create event source for paste");
        return;
    }
    postKeyPresses(*source, desktop::keycode::kV, 1, desktop::keycode::kCommandFlag);
    if (cursorOffset && *cursorOffset >= 1) moveCursorBack(*cursorOffset, content, *source);
    restoreClipboardLater(changeCount, saved);
}

void TextReplacer::restoreClipboardLater(int64_t changeCount, const std::optional<desktop::PasteboardContents>& saved) {
    // The restore waits on the replacement queue itself rather than being scheduled elsewhere:
    // the next replacement must not start (and save our snippet as "the user's clipboard")
    // before this one has put the user's clipboard back.
    sleep_(kDelayBeforeClipboardRestore);
    if (pasteboard_.changeCount() != changeCount) return;  // someone copied meanwhile: theirs stays
    if (!saved || saved->empty()) return;
    pasteboard_.setContents(*saved);
}

void TextReplacer::moveCursorBack(size_t offset, const std::string& content, desktop::KeyEventSource& source) {
    sleep_(kPauseBeforeCaretMove);
    if (positionCursorViaAccessibility(offset, content)) return;
    postKeyPresses(source, desktop::keycode::kLeftArrow, std::min(offset, kMaxLeftArrowPresses));
}

bool TextReplacer::positionCursorViaAccessibility(size_t offset, const std::string& content) {
    const auto front = workspace_.frontmostApplication();
    if (!front) return false;
    const auto range = accessibility_.focusedSelectedTextRange(*front);
    if (!range) return false;
    const size_t characters = platform::text::length(content);
    const size_t n = std::min(characters, offset);
    const std::string_view tail = std::string_view(content).substr(platform::text::prefix(content, characters - n).size());
    const int64_t location = std::max<int64_t>(range->location - static_cast<int64_t>(utf16Length(tail)), 0);
    return accessibility_.setFocusedSelectedTextRange(*front, desktop::TextRange{location, 0});
}

}  // namespace sablix
