#include "desktop/x11/X11KeyboardGrab.h"

#include <algorithm>

#include "desktop/KeyCodes.h"
#include "desktop/x11/X11Display.h"
#include "desktop/x11/X11FakeKey.h"
#include "desktop/x11/X11KeyCodes.h"
#include "platform/Log.h"

#include <X11/XKBlib.h>
#include <X11/keysym.h>

namespace desktop {
namespace {

// Enough for any burst typed within the longest hold; older entries were never asked about.
constexpr size_t kMostUnclaimedKeys = 256;

const platform::Log& logger() {
    static const platform::Log log = platform::appLog("KeyboardGrab");
    return log;
}

// The highest keycode bound to no keysym, 0 when every one is bound.
KeyCode spareKeycode(Display* display) {
    int first = 0, last = 0, perKeycode = 0;
    XDisplayKeycodes(display, &first, &last);
    KeySym* keysyms = XGetKeyboardMapping(display, static_cast<KeyCode>(first), last - first + 1, &perKeycode);
    if (!keysyms) return 0;
    KeyCode spare = 0;
    for (int keycode = last; keycode >= first && spare == 0; --keycode) {
        const KeySym* row = keysyms + static_cast<ptrdiff_t>(keycode - first) * perKeycode;
        if (std::all_of(row, row + perKeycode, [](KeySym keysym) { return keysym == NoSymbol; }))
            spare = static_cast<KeyCode>(keycode);
    }
    XFree(keysyms);
    return spare;
}

}  // namespace

// The keys of each modifier (Shift, Lock, Control, Mod1 … Mod5), lock modifiers (Lock itself,
// NumLock's) left empty: their state is toggled, never held.
struct X11KeyboardGrab::Modifiers {
    std::vector<KeyCode> keys[8];

    static Modifiers read(Display* display) {
        Modifiers modifiers;
        XModifierKeymap* map = XGetModifierMapping(display);
        if (!map) return modifiers;
        for (int index = 0; index < 8; ++index) {
            if (index == LockMapIndex) continue;
            std::vector<KeyCode> keys;
            bool lock = false;
            for (int i = 0; i < map->max_keypermod; ++i) {
                const KeyCode key = map->modifiermap[index * map->max_keypermod + i];
                if (key == 0) continue;
                lock = lock || x11keycodes::isLockKeysym(XkbKeycodeToKeysym(display, key, 0, 0));
                keys.push_back(key);
            }
            if (!lock) modifiers.keys[index] = std::move(keys);
        }
        XFreeModifiermap(map);
        return modifiers;
    }

    template <typename Down>
    bool anyDown(const Down& down) const {
        return std::any_of(std::begin(keys), std::end(keys), [&down](const std::vector<KeyCode>& row) {
            return std::any_of(row.begin(), row.end(), [&down](KeyCode k) { return down.has(k); });
        });
    }

    bool isModifier(KeyCode key) const {
        return std::any_of(std::begin(keys), std::end(keys), [key](const std::vector<KeyCode>& row) {
            return std::find(row.begin(), row.end(), key) != row.end();
        });
    }
};

// Which keys the server has down, as the keys posted again change it.
struct X11KeyboardGrab::KeysDown {
    char bits[32] = {};
    bool has(unsigned char key) const { return (bits[key / 8] & (1 << (key % 8))) != 0; }
    void set(unsigned char key, bool isDown) {
        if (isDown)
            bits[key / 8] = static_cast<char>(bits[key / 8] | (1 << (key % 8)));
        else
            bits[key / 8] = static_cast<char>(bits[key / 8] & ~(1 << (key % 8)));
    }
};

X11KeyboardGrab::X11KeyboardGrab(std::string displayName) : displayName_(std::move(displayName)) {}

X11KeyboardGrab::~X11KeyboardGrab() {
    std::lock_guard lock(mutex_);
    if (holds_ > 0) {
        holds_ = 0;
        letGo();
    }
}

bool X11KeyboardGrab::hold() {
    std::lock_guard lock(mutex_);
    if (holds_ == 0) {
        // While paused, the caller is posting keys: the grab is taken when it resumes.
        if (!paused_ && !grab()) return false;
        leaked_.clear();
        gatheringLeaks_ = false;
        settingAside_ = false;
        if (grabbed_) postMarker();
        scheduleDeadline();
    }
    ++holds_;
    return true;
}

void X11KeyboardGrab::scheduleDeadline() {
    const uint64_t generation = ++generation_;
    deadlines_.asyncAfter(kLongestHold, [this, generation] {
        std::lock_guard lock(mutex_);
        if (generation_ != generation || holds_ == 0) return;
        logger().error("Keyboard held for %lld ms without a key posted; letting it go",
                       static_cast<long long>(kLongestHold.count()));
        holds_ = 0;
        letGo();
    });
}

void X11KeyboardGrab::pause() {
    std::lock_guard lock(mutex_);
    paused_ = true;
    ungrab();
}

void X11KeyboardGrab::resume() {
    std::lock_guard lock(mutex_);
    paused_ = false;
    if (holds_ > 0 && !grabbed_) grab();
}

bool X11KeyboardGrab::postThrough(int keyCode, size_t count, uint64_t flags) {
    std::lock_guard lock(mutex_);
    if (!grabbed_ || display_->lost()) return false;
    Display* display = display_->get();
    const KeyCode key = XKeysymToKeycode(display, x11keycodes::keysym(keyCode));
    if (key == 0) return true;  // a key the keyboard cannot type is skipped
    uint32_t state = 0;
    if (flags & keycode::kCommandFlag) state |= ControlMask;
    if (flags & keycode::kShiftFlag) state |= ShiftMask;
    const Modifiers modifiers = currentModifiers();
    // From the look to the grab taken again no other client's key runs: a key typed meanwhile
    // waits, and then comes to this connection.
    XGrabServer(display);
    KeysDown down;
    lookAtKeysDown(down);
    const KeysDown before = down;
    XUngrabKeyboard(display, CurrentTime);
    for (size_t i = 0; i < count; ++i) replay(HeldKey{key, state, 0}, modifiers, down);
    pressAgain(before, modifiers, down);
    const int result = XGrabKeyboard(display, display_->root(), False, GrabModeAsync, GrabModeAsync, CurrentTime);
    XUngrabServer(display);
    XFlush(display);
    if (result != GrabSuccess) {
        logger().info("The keyboard is held by another client (%d): keys typed now are not held", result);
        grabbed_ = false;
    }
    collectHeldKeys();
    // The holder is at work: on a busy machine its steps may together take longer than the limit.
    if (grabbed_) scheduleDeadline();
    return true;
}

void X11KeyboardGrab::release() {
    std::lock_guard lock(mutex_);
    if (holds_ == 0 || --holds_ > 0) return;
    letGo();
}

void X11KeyboardGrab::setAside() {
    std::lock_guard lock(mutex_);
    if (holds_ > 0) settingAside_ = true;
}

void X11KeyboardGrab::postSetAside() {
    std::lock_guard lock(mutex_);
    if (setAside_.empty()) return;
    setAsideDue_ = true;
    if (holds_ == 0) letGo();
}

bool X11KeyboardGrab::withheld(const KeyDown& key) {
    std::lock_guard lock(mutex_);
    if (markersUnshown_ > 0 && key.xKeycode == markerKeycode_) {
        --markersUnshown_;
        gatheringLeaks_ = false;
        markerShown_.notify_all();
        return true;
    }
    if (grabbed_ && !display_->lost()) {
        // The server handed the key to this connection before it recorded it for the tap: after
        // a round trip it is in this connection's queue.
        XSync(display_->get(), False);
        collectHeldKeys();
    }
    const auto it = std::find(unclaimed_.begin(), unclaimed_.end(), std::pair{key.xTime, key.xKeycode});
    if (it != unclaimed_.end()) {
        unclaimed_.erase(it);
        return true;
    }
    if (!gatheringLeaks_ || holds_ == 0) return false;
    leaked_.push_back(key);
    return true;
}

std::vector<KeyDown> X11KeyboardGrab::leaked(std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    if (!markerShown_.wait_for(lock, patience, [this] { return !gatheringLeaks_; })) {
        logger().error("The keystroke tap has not caught up with the keyboard hold; later keys are not counted");
        gatheringLeaks_ = false;
    }
    if (!leaked_.empty())
        logger().info("%zu key(s) reached the focused window before the keyboard was held", leaked_.size());
    return leaked_;
}

bool X11KeyboardGrab::grab() {
    if (grabbed_) return true;
    if (!display_ || display_->lost()) {
        display_ = X11Display::open(displayName_);
        modifiers_.reset();
        spareKeycode_.reset();
        xtestOpcode_ = 0;
    }
    if (!display_) return false;
    Display* display = display_->get();
    if (xtestOpcode_ == 0) xtestOpcode_ = x11fakekey::opcode(display);
    if (xtestOpcode_ == 0) return false;  // keys held could never be posted again
    const int result = XGrabKeyboard(display, display_->root(), False, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (result != GrabSuccess) {
        logger().info("The keyboard is held by another client (%d): keys typed now are not held", result);
        return false;
    }
    grabbed_ = true;
    return true;
}

void X11KeyboardGrab::postMarker() {
    Display* display = display_->get();
    // A new mapping announced before the grab's answer is in the queue by now.
    collectHeldKeys();
    if (!spareKeycode_) spareKeycode_ = spareKeycode(display);
    const KeyCode spare = *spareKeycode_;
    if (spare == 0) {
        logger().info("No spare keycode: keys typed before the keyboard was held are not found");
        return;
    }
    markerKeycode_ = spare;
    x11fakekey::post(display, xtestOpcode_, spare, true);
    x11fakekey::post(display, xtestOpcode_, spare, false);
    XFlush(display);
    ++markersUnshown_;
    ++markersUncollected_;
    gatheringLeaks_ = true;
}

void X11KeyboardGrab::ungrab() {
    if (!grabbed_) return;
    grabbed_ = false;
    if (display_->lost()) return;
    XUngrabKeyboard(display_->get(), CurrentTime);
    // Every key handed to us before the ungrab is in our queue once the server answered.
    XSync(display_->get(), False);
    collectHeldKeys();
}

void X11KeyboardGrab::collectHeldKeys() {
    Display* display = display_->get();
    while (!display_->lost() && XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            modifiers_.reset();
            spareKeycode_.reset();
        }
        if (event.type != KeyPress) continue;
        const XKeyEvent& key = event.xkey;
        if (markersUncollected_ > 0 && key.keycode == markerKeycode_) {
            --markersUncollected_;
            continue;
        }
        held_.push_back(HeldKey{key.keycode, key.state, static_cast<uint32_t>(key.time)});
        unclaimed_.emplace_back(static_cast<uint32_t>(key.time), key.keycode);
        if (unclaimed_.size() > kMostUnclaimedKeys) unclaimed_.pop_front();
    }
}

X11KeyboardGrab::Modifiers X11KeyboardGrab::currentModifiers() {
    collectHeldKeys();  // a new mapping announced meanwhile is read first
    if (!modifiers_) modifiers_ = std::make_unique<Modifiers>(Modifiers::read(display_->get()));
    return *modifiers_;
}

// Run under a server grab: the keys the server handed this connection before its answer are
// collected, and no other client's key changes the keyboard after it until the grab ends.
void X11KeyboardGrab::lookAtKeysDown(KeysDown& down) {
    XQueryKeymap(display_->get(), down.bits);
    collectHeldKeys();
}

void X11KeyboardGrab::letGo() {
    gatheringLeaks_ = false;
    markerShown_.notify_all();
    std::vector<KeyDown> leaked = std::exchange(leaked_, {});
    if (!display_ || display_->lost()) {
        grabbed_ = false;
        held_.clear();
        return;
    }
    Display* display = display_->get();
    // The leaked keys were typed before any held one.
    std::vector<HeldKey> typedFirst;
    for (const KeyDown& key : leaked) typedFirst.push_back(HeldKey{key.xKeycode, key.xState, key.xTime});
    held_.insert(held_.begin(), typedFirst.begin(), typedFirst.end());
    if (std::exchange(settingAside_, false)) {
        ungrab();  // collects what came before it
        setAside_.insert(setAside_.end(), held_.begin(), held_.end());
        held_.clear();
        return;
    }
    if (std::exchange(setAsideDue_, false)) {
        held_.insert(held_.begin(), setAside_.begin(), setAside_.end());
        setAside_.clear();
    }
    const Modifiers modifiers = currentModifiers();
    // The look, the ungrab and the keys posted again run with no other client's key among them:
    // a key typed meanwhile is either held (and posted here) or comes after them.
    XGrabServer(display);
    KeysDown down;
    lookAtKeysDown(down);
    const KeysDown before = down;
    const std::vector<HeldKey> held = std::exchange(held_, {});
    if (grabbed_) XUngrabKeyboard(display, CurrentTime);
    grabbed_ = false;
    for (const HeldKey& key : held) replay(key, modifiers, down);
    pressAgain(before, modifiers, down);
    XUngrabServer(display);
    XFlush(display);
}

// The user still holds the modifiers that were down before the posted keys changed them: the
// next key typed must carry them, and their release must find them down.
void X11KeyboardGrab::pressAgain(const KeysDown& before, const Modifiers& modifiers, KeysDown& down) {
    for (const auto& row : modifiers.keys)
        for (const KeyCode k : row)
            if (before.has(k) && !down.has(k)) {
                x11fakekey::post(display_->get(), xtestOpcode_, k, true);
                down.set(k, true);
            }
}

void X11KeyboardGrab::replay(const HeldKey& held, const Modifiers& modifiers, KeysDown& down) {
    Display* display = display_->get();
    const auto key = static_cast<KeyCode>(held.keycode);
    // The user's own modifier presses were held too; each key carries its modifiers in its state.
    if (modifiers.isModifier(key)) return;
    const auto post = [&](KeyCode k, bool press) {
        x11fakekey::post(display, xtestOpcode_, k, press);
        down.set(k, press);
    };
    // A key still down (its release not typed yet) would make the press a repeat, which some
    // applications drop: it goes up first, and its own release later changes nothing.
    if (down.has(key)) post(key, false);
    std::vector<KeyCode> pressed;
    for (int index = 0; index < 8; ++index) {
        const auto& row = modifiers.keys[index];
        const bool wanted = held.state & (1u << index);
        const bool active = std::any_of(row.begin(), row.end(), [&down](KeyCode k) { return down.has(k); });
        if (wanted && !active && !row.empty()) {
            post(row.front(), true);
            pressed.push_back(row.front());
        } else if (!wanted && active) {
            for (const KeyCode k : row)
                if (down.has(k)) post(k, false);
        }
    }
    post(key, true);
    post(key, false);
    for (auto it = pressed.rbegin(); it != pressed.rend(); ++it) post(*it, false);
}

}  // namespace desktop
