#pragma once
#include <memory>

#include "platform/PathMonitor.h"

namespace testsupport {

// A path monitor the test drives: report() hands a path to whoever started it, on the test's
// thread. Its state outlives it, so a test can see that its owner cancelled it.
class FakePathMonitor final : public platform::PathMonitor {
public:
    struct State {
        Handler handler;
        bool started = false;
        bool cancelled = false;
    };

    void start(Handler handler) override {
        state_->handler = std::move(handler);
        state_->started = true;
    }
    void cancel() override {
        state_->handler = nullptr;
        state_->cancelled = true;
    }

    std::shared_ptr<State> state() const { return state_; }

    static void report(State& state, const platform::NetworkPath& path) {
        if (state.handler) state.handler(path);
    }

private:
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace testsupport
