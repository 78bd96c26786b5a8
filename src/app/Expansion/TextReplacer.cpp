#include "TextReplacer.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <thread>

#include "Analytics/AnalyticsEvent.h"
#include "Snippets/DynamicFieldProcessor.h"
#include "Sync/TeamSnippetCache.h"
#include "desktop/KeyCodes.h"
#include "platform/TextRules.h"
#include "platform/Utf8.h"
#include "posix/LogText.h"

namespace sablix {
namespace {

constexpr const char* kTapThreadName = "sablix.keytap";
constexpr const char* kTapFailedMessage = "Event tap stopped delivering keys; marked unregistered";
constexpr const char* kNoSourceForDeletionMessage = "Failed to create event source for trigger deletion";
constexpr const char* kNoSourceForReplacementMessage = "Failed to create event source for text replacement";
constexpr const char* kDialogHasTheKeyboardMessage = "The fill-in dialog has the keyboard";

void realSleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

// How often a replacement holding the user's keys looks whether the paste was fetched.
constexpr std::chrono::milliseconds kPastePollInterval{2};

// Where the layout puts the keys that type no text of their own (arrows, Home, F-keys).
constexpr char32_t kFunctionKeysFirst = 0xF700;
constexpr char32_t kFunctionKeysLast = 0xF8FF;

bool typesText(const std::string& text) {
    if (text.empty()) return false;
    const char32_t first = platform::utf8::decode(text, 0).codePoint;
    return first < kFunctionKeysFirst || first > kFunctionKeysLast;
}

// Ends a hold when its owner's scope ends, on every path, unless it was handed on: the keys
// held meanwhile then follow.
class KeyboardHold {
public:
    KeyboardHold(desktop::KeyboardGrab& grab, bool held) : grab_(grab), held_(held) {}
    ~KeyboardHold() {
        if (held_) grab_.release();
    }
    KeyboardHold(const KeyboardHold&) = delete;
    KeyboardHold& operator=(const KeyboardHold&) = delete;
    // The caller takes over ending it.
    bool handOn() { return std::exchange(held_, false); }

private:
    desktop::KeyboardGrab& grab_;
    bool held_;
};

}  // namespace

TextReplacer::TextReplacer(Collaborators c)
    : makeTap_(std::move(c.makeTap)),
      keyLayout_(c.keyLayout),
      keyPoster_(c.keyPoster),
      keyboardGrab_(c.keyboardGrab),
      workspace_(c.workspace),
      accessibility_(c.accessibility),
      defaults_(c.defaults),
      teamSnippetLoader_(std::move(c.loadTeamSnippets)),
      analytics_(c.analytics),
      fillInController_(c.fillInController),
      clock_(c.clock),
      ownProcessIdentifier_(c.ownProcessIdentifier),
      sleep_(c.sleep ? std::move(c.sleep) : Sleep(realSleep)),
      hops_(c.hops),
      pasteTargets_(c.pasteboard, c.primarySelection),
      clipboardKeeper_(c.pasteboard, c.primarySelection, c.restoreTimer),
      snippetController_(c.defaults, c.clock, c.libraryCache),
      logger_(platform::appLog("TextReplacer")),
      triggerCache_(std::make_shared<const TriggerCache>()) {
    hasFiredFirstExpansion_ = defaults_.boolean(kHasFiredFirstExpansionKey);
    logger_.debug("TextReplacer initialized");
    refreshSnippetCache();
}

TextReplacer::TeamSnippetLoader TextReplacer::teamSnippetLoader(TeamSnippetCache& cache) {
    return [&cache](const platform::Uuid& teamId) {
        cache.open();
        return cache.getSnippets(teamId, false);
    };
}

TextReplacer::~TextReplacer() {
    alive_.reset();
    shutDown();
}

void TextReplacer::shutDown() {
    unregister();
    std::list<platform::NamedThread> tapThreads;
    {
        std::lock_guard lock(tapThreadsMutex_);
        tapThreads.swap(tapThreads_);
    }
    tapThreads.clear();  // joins each
    processingQueue_.sync([] {});
    replacementQueue_.sync([] {});
    clipboardKeeper_.restorePendingNow();
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

std::shared_ptr<const TriggerCache> TextReplacer::triggerCache() const { return triggerCache_.load(); }

void TextReplacer::setTriggerCache(std::shared_ptr<const TriggerCache> cache) {
    if (!cache) cache = std::make_shared<const TriggerCache>();
    triggerCache_.store(std::move(cache));
}

std::optional<platform::Uuid> TextReplacer::activeTeamId() const {
    return stateQueue_.sync([this] { return activeTeamId_; });
}

void TextReplacer::setActiveTeamId(std::optional<platform::Uuid> teamId) {
    stateQueue_.sync([&] { activeTeamId_ = teamId; });
}

void TextReplacer::refreshSnippetCache() {
    std::vector<SnippetItem> all = snippetController_.loadItems();
    std::vector<SnippetItem> team = loadTeamSnippets();
    const size_t total = all.size() + team.size();
    const size_t teamCount = team.size();
    all.insert(all.end(), std::make_move_iterator(team.begin()), std::make_move_iterator(team.end()));
    setTriggerCache(std::make_shared<const TriggerCache>(std::move(all), *triggerCache()));
    logger_.debug("Snippet cache refreshed with %ld snippets (%ld team)", static_cast<long>(total),
                  static_cast<long>(teamCount));
}

std::vector<SnippetItem> TextReplacer::loadTeamSnippets() {
    const auto teamId = activeTeamId();
    if (!teamId || !teamSnippetLoader_) return {};
    try {
        return teamSnippetLoader_(*teamId);
    } catch (const std::exception& error) {
        logger_.error("Error loading team snippets for TextReplacer: %s", posix::escapedForLog(error.what()).c_str());
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
    std::lock_guard lock(tapThreadsMutex_);
    tapThreads_.remove_if([](const platform::NamedThread& thread) { return thread.finished(); });
    tapThreads_.emplace_back(kTapThreadName, [this, generation] { runTap(generation); });
}

void TextReplacer::runTap(uint64_t generation) {
    const auto isCurrent = [this, generation] { return tapGeneration_ == generation; };
    if (!stateQueue_.sync(isCurrent)) return;  // unregistered before the worker got going

    std::shared_ptr<desktop::KeyTap> tap = makeTap_ ? makeTap_() : nullptr;
    const bool created = tap && tap->create(
                                    [this](const desktop::KeyDown& key) {
                                        const KeyHops::Time tapped = hops_ ? KeyHops::now() : KeyHops::Time{};
                                        processingQueue_.async([this, key, tapped] { handleKeyPress(key, tapped); });
                                    },
                                    [this] { processingQueue_.async([this] { handleButtonPress(); }); });
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
            return true;
        });
        if (wasRunning) {
            clearKeyBuffer();
            logger_.error("%s", kTapFailedMessage);
        }
    }
}

void TextReplacer::unregister() {
    logger_.debug("Unregistering event tap");
    const auto tap = stateQueue_.sync([this] {
        auto taken = std::move(eventTap_);
        eventTap_.reset();
        ++tapGeneration_;
        isRegistered_ = false;
        return taken;
    });
    clearKeyBuffer();
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

void TextReplacer::clearKeyBuffer() {
    processingQueue_.async([this] { keyBuffer_.clear(); });
}

void TextReplacer::waitUntilIdle() {
    processingQueue_.sync([] {});
    replacementQueue_.sync([] {});
    clipboardKeeper_.waitUntilRestored();
}

void TextReplacer::handleKeyPress(const desktop::KeyDown& key, KeyHops::Time tapped) {
    if (!hops_) return processKey(key, nullptr);
    KeyHops hops{.tapped = tapped, .handling = KeyHops::now(), .handled = {}};
    processKey(key, &hops);
    if (hops.handled == KeyHops::Time{}) hops.handled = KeyHops::now();
    hops_->keyHandled(hops);
}

void TextReplacer::processKey(const desktop::KeyDown& key, KeyHops* hops) {
    // Kept from the application during a replacement: it counts when it is posted again, after
    // the snippet, which is where the application gets it.
    if (keyboardGrab_.withheld(key)) return;

    const bool deletes = key.keyCode == desktop::keycode::kDelete || key.keyCode == desktop::keycode::kForwardDelete;
    // The text comes from the state the key was pressed in, not the keyboard's state now.
    const std::string typed = deletes ? std::string() : keyLayout_.text(key);
    // One snapshot for the whole key: a rebuild meanwhile counts from the next key on.
    const auto cache = triggerCache();

    // Finding the frontmost window takes several round trips to the display, which the keys
    // typed right after a trigger would outrun: a key that would complete a trigger takes the
    // hold first, and lets it go again when it turns out not to.
    KeyboardHold early(keyboardGrab_, completesTrigger(typed, *cache) && keyboardGrab_.hold());

    const auto front = workspace_.frontmostApplication();
    // Text typed in another window is no part of a trigger typed here.
    const uint64_t window = front ? front->window : 0;
    if (window != keyBufferWindow_) keyBuffer_.clear();
    keyBufferWindow_ = window;

    // "This application is in front" means the frontmost window belongs to this very process
    // (its _NET_WM_PID equals getpid()): the fill-in dialog and the application's own fields.
    if (front && front->processIdentifier != 0 && front->processIdentifier == ownProcessIdentifier_) return;

    if (deletes) {
        keyBuffer_.removeLast();
        return;
    }
    if (typed.empty()) {
        logger_.debug("Dead key or modifier key pressed (no Unicode output)");
        return;
    }

    const std::string& buffer = keyBuffer_.append(typed);
    if (cache->empty()) return;
    const auto match = cache->match(platform::text::lowercased(buffer));
    if (!match) return;
    expand(*match, cache, early.handOn(), front ? front->windowClass : std::string(), hops);
}

bool TextReplacer::completesTrigger(const std::string& typed, const TriggerCache& cache) const {
    if (typed.empty() || cache.empty()) return false;
    KeyBuffer copy = keyBuffer_;
    return cache.match(platform::text::lowercased(copy.append(typed))).has_value();
}

// A click may have put the caret anywhere: the characters before it are no longer the ones typed.
void TextReplacer::handleButtonPress() { keyBuffer_.clear(); }

void TextReplacer::expand(const TriggerCache::Match& match, std::shared_ptr<const TriggerCache> cache, bool alreadyHeld,
                          const std::string& windowClass, KeyHops* hops) {
    const bool fillIn = DynamicFieldProcessor::hasFillFields(match.snippet.snippet);
    // Keys typed from now on would race the erasing and the paste (or, for a fill-in, the dialog
    // taking the focus): they are held, first thing, and follow the snippet.
    const bool keysHeld = alreadyHeld || keyboardGrab_.hold();
    logger_.info("Matched snippet: %s", posix::escapedForLog(match.snippet.snippetTitle).c_str());
    keyBuffer_.clear();

    const size_t triggerLength = platform::text::length(match.trigger);
    std::string content = match.snippet.snippet;

    // Fields are resolved on the replacement queue, right before the paste: only there is it
    // known what the user's clipboard is while an earlier replacement's restore is pending.
    if (fillIn) {
        auto names = DynamicFieldProcessor::extractFillFields(content);
        logger_.info("Snippet has %ld fill-in field(s), showing dialog", static_cast<long>(names.size()));
        auto completion = fillInCompletion(std::move(content), std::move(cache), keysHeld);
        replacementQueue_.async(
            [this, triggerLength, keysHeld, names = std::move(names), completion = std::move(completion)] {
                askForFillIns(triggerLength, keysHeld, names, completion);
            });
    } else {
        std::optional<ExpansionHops> expansionHops;
        if (hops) {
            hops->handled = KeyHops::now();
            expansionHops = ExpansionHops{.key = *hops};
        }
        // The window the trigger was typed in gets the snippet: asking the display again would
        // cost its round trips before the erasing.
        replacementQueue_.async([this, triggerLength, content = std::move(content), cache = std::move(cache),
                                 target = pasteTargets_.forWindowClass(windowClass), keysHeld, expansionHops] {
            performReplacement(triggerLength, content, cache, target, keysHeld, expansionHops);
        });
    }
    // Behind the replacement, so the event queue's and the defaults' file writes never delay the
    // keys or the paste.
    replacementQueue_.async([this] { analytics_.track(AnalyticsEvent::snippetExpand); });
    if (!hasFiredFirstExpansion_.exchange(true)) replacementQueue_.async([this] { recordFirstExpansion(); });
}

void TextReplacer::recordFirstExpansion() {
    if (!defaults_.set(kHasFiredFirstExpansionKey, platform::DefaultsValue(true)))
        logger_.error("Failed to record the first expansion");
    analytics_.track(AnalyticsEvent::firstSnippetExpand);
}

void TextReplacer::askForFillIns(size_t triggerLength, bool keysHeld, const std::vector<std::string>& names,
                                 const FillInPresenter::Completion& completion) {
    KeyboardHold hold(keyboardGrab_, keysHeld);
    const size_t erased =
        keysHeld ? typedLength(triggerLength, keyboardGrab_.leaked(kLongestWaitForLeakedKeys)) : triggerLength;
    deleteTypedTrigger(erased, kNoSourceForDeletionMessage);
    // The keys held until the dialog has the focus are the field's, typed after the snippet; those
    // typed after are the dialog's.
    if (keysHeld) keyboardGrab_.setAside();
    std::weak_ptr<int> alive = alive_;
    fillInController_.show(names, completion, [this, alive, held = hold.handOn()] {
        if (alive.expired()) return;
        replacementQueue_.async([this, held] {
            if (held) keyboardGrab_.release();
            logger_.info("%s", kDialogHasTheKeyboardMessage);
        });
    });
}

FillInPresenter::Completion TextReplacer::fillInCompletion(std::string content,
                                                           std::shared_ptr<const TriggerCache> cache,
                                                           bool keysSetAside) {
    std::weak_ptr<int> alive = alive_;
    return [this, alive, content = std::move(content), cache = std::move(cache),
            keysSetAside](std::optional<FillInPresenter::Values> values) {
        if (alive.expired()) return;
        if (!values) {
            // Cancelled: the erased trigger stays erased, and the keys typed after it come back.
            if (!keysSetAside) return;
            replacementQueue_.async([this] {
                sleep_(kDelayAfterFillIn);
                keyboardGrab_.postSetAside();
            });
            return;
        }
        std::string filled = DynamicFieldProcessor::applyFillValues(content, *values);
        replacementQueue_.async([this, filled = std::move(filled), cache, keysSetAside] {
            sleep_(kDelayAfterFillIn);
            const auto source = keyPoster_.createEventSource();
            if (!source) {
                logger_.error("Failed to create event source for paste");
                keyboardGrab_.postSetAside();
                return;
            }
            const PasteTarget target = pasteTarget();
            pasteContent(*source, filled, cache, target, clipboardKeeper_.save(target.selections), keysSetAside);
            keyboardGrab_.postSetAside();
        });
    };
}

// Posted keys obey a hold on the keyboard too: it is let go for each burst, and taken again once
// the burst has reached the application.
void TextReplacer::postKeyPresses(desktop::KeyEventSource& source, int keyCode, size_t count, uint64_t flags) {
    if (keyboardGrab_.postThrough(keyCode, count, flags)) return;
    keyboardGrab_.pause();
    for (size_t i = 0; i < count; ++i) {
        source.postKey(keyCode, true, flags);
        source.postKey(keyCode, false, flags);
    }
    source.sync();
    keyboardGrab_.resume();
}

std::unique_ptr<desktop::KeyEventSource> TextReplacer::deleteTypedTrigger(size_t triggerLength,
                                                                          const char* noSourceMessage) {
    auto source = keyPoster_.createEventSource();
    if (!source) {
        logger_.error("%s", noSourceMessage);
        return nullptr;
    }
    postKeyPresses(*source, desktop::keycode::kDelete, triggerLength);
    sleep_(kPauseAfterBackspaces);
    return source;
}

void TextReplacer::performReplacement(size_t triggerLength, const std::string& content,
                                      std::shared_ptr<const TriggerCache> cache, const PasteTarget& target,
                                      bool keysHeld, std::optional<ExpansionHops> hops) {
    if (hops) hops->replacing = KeyHops::now();
    const KeyboardHold hold(keyboardGrab_, keysHeld);
    // The user's clipboard is saved while the trigger is erased: fetching a large clipboard then
    // overlaps the pause after the Backspaces instead of adding to it.
    auto saving = clipboardKeeper_.startSaving(target.selections);
    // Keys typed before the hold took the keyboard went to the application: they are erased with
    // the trigger, and the hold types them again after the snippet.
    const size_t erased =
        keysHeld ? typedLength(triggerLength, keyboardGrab_.leaked(kLongestWaitForLeakedKeys)) : triggerLength;
    const auto source = deleteTypedTrigger(erased, kNoSourceForReplacementMessage);
    if (hops) hops->erased = KeyHops::now();
    ClipboardKeeper::Saved saved = saving.get();
    if (!source) {
        clipboardKeeper_.restoreNow(saved);
        return;
    }
    pasteContent(*source, content, cache, target, std::move(saved), keysHeld, hops ? &*hops : nullptr);
}

size_t TextReplacer::typedLength(size_t triggerLength, const std::vector<desktop::KeyDown>& typedAfter) {
    size_t length = triggerLength;
    for (const auto& key : typedAfter) {
        if (key.keyCode == desktop::keycode::kDelete) {
            if (length > 0) --length;
        } else if (key.keyCode != desktop::keycode::kForwardDelete && typesText(keyLayout_.text(key))) {
            ++length;
        }
    }
    return length;
}

PasteTarget TextReplacer::pasteTarget() {
    const auto front = workspace_.frontmostApplication();
    return pasteTargets_.forWindowClass(front ? front->windowClass : std::string());
}

void TextReplacer::pasteContent(desktop::KeyEventSource& source, const std::string& content,
                                const std::shared_ptr<const TriggerCache>& cache, const PasteTarget& target,
                                ClipboardKeeper::Saved saved, bool keysHeld, ExpansionHops* hops) {
    const DynamicFieldContext context{
        clock_, {}, {}, ClipboardReader([this, &saved] { return clipboardKeeper_.userClipboardText(saved); })};
    const auto result = DynamicFieldProcessor::processWithCursor(content, cache->snippets(), context);

    // The paste key now would paste whatever the selection holds instead of the snippet.
    if (!clipboardKeeper_.putSnippet(saved, result.text)) return;
    if (hops) hops->onClipboard = KeyHops::now();
    postKeyPresses(source, target.keyCode, 1, target.flags);
    if (hops) {
        hops->pasted = KeyHops::now();
        hops_->expansionPasted(*hops);
    }
    if (result.cursorOffset && *result.cursorOffset >= 1) moveCursorBack(*result.cursorOffset, result.text, source);
    // Keys let go before the application fetched the snippet would land before it.
    if (keysHeld) waitForPasteRequest(saved);
    clipboardKeeper_.restoreLater(std::move(saved));
}

void TextReplacer::waitForPasteRequest(const ClipboardKeeper::Saved& written) {
    const auto deadline = std::chrono::steady_clock::now() + kLongestWaitForPaste;
    while (!ClipboardKeeper::wasFetched(written)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            logger_.info("The application did not ask for the snippet; letting the held keys go");
            return;
        }
        std::this_thread::sleep_for(kPastePollInterval);
    }
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
    const std::string_view tail =
        std::string_view(content).substr(platform::text::prefix(content, characters - n).size());
    const int64_t location =
        std::max<int64_t>(range->location - static_cast<int64_t>(platform::utf8::utf16Length(tail)), 0);
    return accessibility_.setFocusedSelectedTextRange(*front, desktop::TextRange{location, 0});
}

}  // namespace sablix
