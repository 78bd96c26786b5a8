#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "desktop/KeyDown.h"

namespace desktop {

// Keeps the user's keys from the focused window for a short while, so that keys typed while
// Sablix types into an application reach it afterwards, in the order typed. Holds nest: the
// keyboard is let go when the last one is released, and at the latest a fixed time after the
// first. Safe to use from any thread.
class KeyboardGrab {
public:
    virtual ~KeyboardGrab() = default;
    // Starts holding: keys the user types from now on are kept back. False when the keyboard
    // cannot be taken (another client holds it); keys then go where they always go.
    virtual bool hold() = 0;
    // Lets the keyboard go for a burst of keys this process posts (posted keys obey a hold
    // too); what was held stays held. Nothing to do when nothing holds it.
    virtual void pause() = 0;
    // Holds again after pause(), if a hold is still outstanding. The caller first makes sure
    // its posted keys have reached the display (KeyEventSource::sync()).
    virtual void resume() = 0;
    // While holding, posts `count` presses of the key (a macOS key code, with the modifiers its
    // flags name, as KeyEventSource does) to the focused window, letting the keyboard go and
    // taking it again around them in one go: no key typed meanwhile lands among them. False when
    // nothing holds the keyboard: the caller posts them itself, between pause() and resume().
    virtual bool postThrough(int keyCode, size_t count, uint64_t flags) = 0;
    // Ends one hold. The last one lets the keyboard go and posts the held keys, in the order
    // typed, each with the modifiers it was typed with; the leaked keys (below) go first.
    virtual void release() = 0;
    // For a window of this process that takes the keyboard before the hold ends (a dialog): the
    // keys the outstanding hold holds, leaked ones included, are not posted when the keyboard is
    // let go (its last release() or its time limit) but set aside, in the order typed, until
    // postSetAside().
    virtual void setAside() = 0;
    // Posts the keys set aside, each with the modifiers it was typed with: at once, or, while a
    // hold is outstanding, when it ends, ahead of the keys it holds.
    virtual void postSetAside() = 0;
    // Whether a key the tap saw is the hold's to post again: it reaches the application (and the
    // tap, a second time) only when release() posts it. Answers true once per such key: a key
    // kept back, or one that leaked (below).
    virtual bool withheld(const KeyDown& key) = 0;
    // Keys typed between the first hold() and the moment the keyboard was really held reached the
    // application all the same. Returns them, in the order typed, once the tap has shown them
    // all, or what it has shown when `patience` runs out; keys shown later are not counted. The
    // caller erases what they typed: release() posts them again.
    virtual std::vector<KeyDown> leaked(std::chrono::milliseconds patience) = 0;
};

}  // namespace desktop
