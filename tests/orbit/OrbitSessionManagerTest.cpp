#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>

#include "OrbitTestSupport.h"
#include "orbit/DI.h"
#include "orbit/OrbitSessionManager.h"

using orbit::OrbitSessionManager;
using namespace std::chrono_literals;

namespace {

struct Fixture {
    std::shared_ptr<std::atomic<orbit::OrbitDate>> clock =
        std::make_shared<std::atomic<orbit::OrbitDate>>(orbit::OrbitDate(1'700'000'000s));
    orbit::ApplicationLifecyclePublisher publisher;
    OrbitSessionManager manager{[clock = clock] { return clock->load(); }, &publisher};
    std::atomic<int> changes{0};
    std::unique_ptr<orbit::RegistrationToken> token = manager.onSessionIdChanged.subscribe([this](std::monostate) { ++changes; });

    orbit::OrbitDate now() const { return clock->load(); }
    void advance(std::chrono::microseconds by) { clock->store(clock->load() + by); }
    std::optional<std::string> read() { return manager.getSessionId(now(), false); }
};

}  // namespace

// The thresholds are strictly greater, the reason is the case name, a clock that goes back never
// rotates, and activity (foreground and background moves) keeps a session alive until its age
// passes 24 hours.
TEST(OrbitSessionManagerTest, SessionsRotateOnlyPastTheirThresholdsWithTheReasonLogged) {
    orbittest::HedgeLogCapture log;
    Fixture f;
    EXPECT_EQ(f.read(), std::nullopt);  // in the background until set up
    f.manager.setup(nullptr);
    EXPECT_EQ(f.manager.getSessionId(f.now(), true), std::nullopt);
    const auto first = f.read();
    ASSERT_TRUE(first);
    EXPECT_TRUE(log.has("[Orbit] New session id created " + *first + " (sessionIdEmpty)"));
    EXPECT_EQ(f.read(), first);

    f.advance(1800s);
    EXPECT_EQ(f.read(), first);
    EXPECT_EQ(f.manager.getSessionId(f.now() - 3600s, false), first);
    f.advance(1ms);
    const auto timedOut = f.read();
    ASSERT_TRUE(timedOut);
    EXPECT_NE(timedOut, first);
    EXPECT_TRUE(log.has("[Orbit] New session id created " + *timedOut + " (sessionTimeout)"));
    EXPECT_EQ(f.changes, 2);

    // Activity every 1000 s: the session survives until it is 86400.5 s old, 10 s after the last.
    for (int k = 1; k <= 86; ++k) {
        f.advance(1000s);
        f.publisher.appDidEnterBackground();
        f.publisher.appDidBecomeActive();
    }
    f.advance(390500ms);
    f.publisher.appDidEnterBackground();
    f.publisher.appDidBecomeActive();
    EXPECT_EQ(f.read(), timedOut);
    f.advance(10s);
    const auto aged = f.read();
    EXPECT_NE(aged, timedOut);
    EXPECT_TRUE(log.has("[Orbit] New session id created " + aged.value() + " (sessionPastMaximumLength)"));

    // Expired in the background: cleared, and made anew at the first read in the foreground.
    f.publisher.appDidEnterBackground();
    f.advance(1801s);
    EXPECT_EQ(f.read(), std::nullopt);
    EXPECT_TRUE(log.has("[Orbit] Session id cleared - reason: (sessionTimeout)"));
    EXPECT_EQ(f.read(), std::nullopt);
    f.publisher.appDidBecomeActive();
    const auto back = f.read();
    ASSERT_TRUE(back);
    EXPECT_NE(back, aged);

    // 40 minutes in the background with the id still set: coming back rotates at once.
    f.publisher.appDidEnterBackground();
    f.advance(40min);
    f.publisher.appDidBecomeActive();
    EXPECT_NE(f.manager.getSessionId(f.now(), true), back);

    // After reset the life cycle no longer reaches the manager.
    f.manager.reset();
    const int changes = f.changes;
    f.publisher.appDidEnterBackground();
    f.advance(40min);
    f.publisher.appDidBecomeActive();
    EXPECT_EQ(f.changes, changes);
}

TEST(OrbitSessionManagerTest, EightThreadsReadingOneExpiredIdRotateItOnce) {
    for (int round = 0; round < 20; ++round) {
        Fixture f;
        f.manager.setup(nullptr);
        f.manager.startSession();
        const auto expired = f.manager.getSessionId(f.now(), true);
        f.advance(1801s);
        f.changes = 0;
        std::barrier start(8);
        std::vector<std::optional<std::string>> seen(8);
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                seen[i] = f.read();
            });
        for (auto& thread : threads) thread.join();
        ASSERT_EQ(f.changes, 1) << "round " << round;
        for (const auto& id : seen) {
            EXPECT_EQ(id, seen[0]);
            EXPECT_NE(id, expired);
        }
    }
}
