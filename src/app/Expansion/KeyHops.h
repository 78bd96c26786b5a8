#pragma once
#include <chrono>

namespace sablix {

// When one key reached each step of the engine. On the wall clock, so that another process (the
// application that receives the snippet, a benchmark typing through the X server) can set its own
// times beside them.
struct KeyHops {
    using Time = std::chrono::system_clock::time_point;
    static Time now() { return std::chrono::system_clock::now(); }

    Time tapped{};    // the tap handed the key on, on its own thread
    Time handling{};  // the key handler took it up
    Time handled{};   // done with the key: nothing to do, or the replacement handed on
};

// The same for a key that completed a trigger, on to the paste.
struct ExpansionHops {
    KeyHops key{};
    KeyHops::Time replacing{};    // the replacement queue took it up
    KeyHops::Time erased{};       // the trigger's Backspaces posted and the pause after them over
    KeyHops::Time onClipboard{};  // the snippet stands in the selections
    KeyHops::Time pasted{};       // the paste key posted
};

// Sees the stamps of every key, when the engine was given one: benchmarks, and builds with the
// probe. The engine takes no stamp without it.
class HopObserver {
public:
    virtual ~HopObserver() = default;
    // On the key handler's thread, after each key. Must return at once.
    virtual void keyHandled(const KeyHops&) {}
    // On the replacement's thread, once the paste key was posted.
    virtual void expansionPasted(const ExpansionHops&) {}
};

}  // namespace sablix
