#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "desktop/HotkeyGrabber.h"

namespace testsupport {

// A desktop that holds at most one grab and one handler, counts what was asked of it, can be
// told to refuse either step, and presses the grabbed combination on request.
class FakeHotkeyGrabber final : public desktop::HotkeyGrabber {
public:
    struct Grab {
        uint32_t keyCode;
        uint32_t carbonModifiers;
        friend bool operator==(const Grab&, const Grab&) = default;
    };

    int installHandler(std::function<void()> onPressed) override {
        ++handlersInstalled;
        if (refuseHandler != kNoError) return refuseHandler;
        handler_ = std::move(onPressed);
        return kNoError;
    }
    void removeHandler() override { handler_ = nullptr; }
    int grab(uint32_t keyCode, uint32_t carbonModifiers) override {
        ++grabsAttempted;
        if (grab_) ++grabsOverlapping;
        if (refuseGrab != kNoError) return refuseGrab;
        grab_ = Grab{keyCode, carbonModifiers};
        return kNoError;
    }
    void ungrab() override { grab_.reset(); }

    // What the desktop does when the user presses the held combination.
    bool press() {
        if (!grab_ || !handler_) return false;
        const auto handler = handler_;
        handler();
        return true;
    }

    const std::optional<Grab>& held() const { return grab_; }
    bool hasHandler() const { return handler_ != nullptr; }

    int refuseHandler = kNoError;
    int refuseGrab = kNoError;
    int handlersInstalled = 0;
    int grabsAttempted = 0;
    int grabsOverlapping = 0;  // grabs asked for while one was still held

private:
    std::function<void()> handler_;
    std::optional<Grab> grab_;
};

}  // namespace testsupport
