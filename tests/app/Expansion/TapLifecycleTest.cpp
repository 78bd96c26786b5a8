// Starting, stopping and restarting the keystroke tap, by the engine and by the application's
// start-up, permission poll and watchdog.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include "App/AppDelegate.h"
#include "EngineHarness.h"

using namespace enginetest;

namespace {

class TapLifecycleTest : public EngineHarness {
protected:
    void makeEngine() { replacer = std::make_unique<sablix::TextReplacer>(collaborators()); }

    // The launch steps the delegate hands on, recorded in the order they happen.
    sablix::AppDelegate::Collaborators delegateWiring(ms watchdog = sablix::AppDelegate::kWatchdogInterval) {
        return {
            .textReplacer = *replacer,
            .defaults = defaults,
            .analytics = analytics,
            .updater = nullptr,
            .checkForUpdate = [this] { steps.push_back("update check"); },
            .checkPendingInstall = [this]() -> QCoro::Task<> {
                steps.push_back("pending install");
                co_return;
            },
            .registerHotkey = [this] { steps.push_back("register hot key"); },
            .unregisterHotkey = [this] { steps.push_back("unregister hot key"); },
            .stopSync = [this] { steps.push_back("stop sync"); },
            .watchdogInterval = watchdog,
        };
    }

    // Runs the Qt event loop until the condition holds (or a few seconds pass).
    static bool eventually(const std::function<bool()>& condition, int timeoutMs = 5000) {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > timeoutMs) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QTest::qSleep(5);
        }
        return true;
    }

    std::vector<std::string> steps;
};

}  // namespace

// A second tap would expand every trigger twice; a stopped one must forget what was typed, and
// destroying the engine waits for every tap thread it started.
TEST_F(TapLifecycleTest, OneTapAtATimeAndEachStopsWithTheEngine) {
    storeLibrary({snippet("sig", "Best regards")});
    start();
    std::vector started{tap};
    replacer->registerTap();
    EXPECT_EQ(taps.created(), 1u);

    type(";si");
    replacer->unregister();
    EXPECT_FALSE(replacer->isRegistered());
    replacer->registerTap();
    tap = taps.waitForRunningTap(1);
    ASSERT_TRUE(tap);
    started.push_back(tap);
    type("g");
    EXPECT_TRUE(timeline.entries().empty());

    replacer.reset();
    for (const auto& each : started) EXPECT_TRUE(each->waitUntilFinished(ms(0)));

    // A tap that cannot be created is not taken for a running one.
    taps.setFailCreate(true);
    makeEngine();
    replacer->registerTap();
    EXPECT_TRUE(eventually([&] { return logs.count("Failed to create event tap") == 1; }));
    EXPECT_FALSE(replacer->isRegistered());
}

// The permission poll and the watchdog (here every 100 ms) each start the tap only when it is down.
TEST_F(TapLifecycleTest, StartUpWaitsForPermissionAndTheWatchdogRestartsOnlyATapThatIsDown) {
    accessibility.setTrusted(false);
    makeEngine();
    sablix::AppDelegate delegate(delegateWiring(ms(100)));
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(analytics.names(), std::vector<std::string>{"app_launch"}) << "recorded even while waiting";
    ASSERT_TRUE(eventually([&] { return delegate.isWaitingForPermission(); }));
    QTest::qWait(1200);
    EXPECT_EQ(taps.attempts(), 0u);
    EXPECT_EQ(steps, std::vector<std::string>{"pending install"}) << "no hot key before the permission";

    accessibility.setTrusted(true);
    ASSERT_TRUE(eventually([&] { return delegate.isStarted(); }));
    tap = taps.waitForRunningTap(0);
    ASSERT_TRUE(tap);
    QTest::qWait(1200);
    EXPECT_EQ(taps.created(), 1u) << "a running tap is left alone";
    EXPECT_EQ(std::ranges::count(steps, "register hot key"), 1);

    tap->fail();
    ASSERT_TRUE(eventually([&] { return taps.created() == 2 && replacer->isRegistered(); }));
    tap = taps.waitForRunningTap(1);
    ASSERT_TRUE(tap);

    delegate.applicationWillTerminate();
    EXPECT_FALSE(replacer->isRegistered());
    EXPECT_TRUE(tap->waitUntilFinished());

    // Quitting while waiting for the permission stops the poll.
    accessibility.setTrusted(false);
    sablix::AppDelegate waiting(delegateWiring());
    waiting.applicationDidFinishLaunching();
    waiting.applicationWillTerminate();
    EXPECT_FALSE(waiting.isWaitingForPermission());
}
