// Starting, stopping and restarting the keystroke tap, by the engine and by the application's
// start-up, permission poll and watchdog.
#include <algorithm>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <pthread.h>

#include "App/AppDelegate.h"
#include "EngineHarness.h"

using namespace enginetest;

namespace {

class TapLifecycleTest : public EngineHarness {
protected:
    void makeEngine() { replacer = std::make_unique<sablix::TextReplacer>(collaborators()); }

    // The launch steps the delegate hands on, recorded in the order they happen.
    sablix::AppDelegate::Collaborators delegateWiring(
        std::chrono::milliseconds watchdog = sablix::AppDelegate::kWatchdogInterval) {
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

    std::vector<std::string> steps;

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
};

}  // namespace

TEST_F(TapLifecycleTest, RegisterWithoutPermissionStartsNothing) {
    accessibility.setTrusted(false);
    makeEngine();
    replacer->registerTap();
    replacer->registerTap();
    EXPECT_FALSE(replacer->isRegistered());
    EXPECT_EQ(taps.attempts(), 0u);
    EXPECT_EQ(logs.count("Cannot register - accessibility permissions not granted"), 2u);
    // The desktop's prompt only at the first check of the process.
    EXPECT_EQ(accessibility.prompts(), (std::vector<bool>{true, false}));
}

TEST_F(TapLifecycleTest, RegisterUnregisterAndAlreadyRegistered) {
    storeLibrary({snippet("sig", "Best regards")});
    start();
    EXPECT_TRUE(replacer->isRegistered());
    EXPECT_TRUE(logs.contains(platform::LogLevel::Info, "Event tap registered successfully"));

    replacer->registerTap();
    EXPECT_TRUE(logs.contains(platform::LogLevel::Debug, "Already registered, skipping registration"));
    EXPECT_EQ(taps.created(), 1u);

    // Unregistering stops the tap and empties the buffer.
    type(";si");
    replacer->unregister();
    EXPECT_FALSE(replacer->isRegistered());
    EXPECT_TRUE(tap->waitUntilFinished());
    EXPECT_TRUE(tap->stopped());
    EXPECT_TRUE(eventually([&] { return logs.count("Event tap run loop stopped") == 1; }));

    const size_t next = taps.created();
    replacer->registerTap();
    tap = taps.waitForRunningTap(next);
    ASSERT_TRUE(tap);
    type("g");
    EXPECT_TRUE(timeline.entries().empty());
}

// Each start runs the tap on a thread of its own under a name the user can find in ps or a
// debugger, and destroying the engine waits for every one it started.
TEST_F(TapLifecycleTest, TapRunsOnANamedThreadOfItsOwn) {
    std::mutex mutex;
    std::vector<std::string> threadNames;
    auto wiring = collaborators();
    wiring.makeTap = [&, make = wiring.makeTap] {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        std::lock_guard lock(mutex);
        threadNames.push_back(name);
        return make();
    };
    replacer = std::make_unique<sablix::TextReplacer>(wiring);
    std::vector<std::shared_ptr<testsupport::FakeKeyTap::Channel>> started;
    for (size_t i = 0; i < 3; ++i) {
        replacer->registerTap();
        started.push_back(taps.waitForRunningTap(i));
        ASSERT_TRUE(started.back());
        replacer->unregister();
    }
    replacer->registerTap();
    started.push_back(taps.waitForRunningTap(3));
    ASSERT_TRUE(started.back());
    replacer.reset();
    for (const auto& tap : started) EXPECT_TRUE(tap->waitUntilFinished(std::chrono::milliseconds(0)));
    std::lock_guard lock(mutex);
    EXPECT_EQ(threadNames, std::vector<std::string>(4, "sablix.keytap"));
}

TEST_F(TapLifecycleTest, TapThatCannotBeCreatedStaysStopped) {
    taps.setFailCreate(true);
    makeEngine();
    replacer->registerTap();
    EXPECT_TRUE(eventually([&] { return logs.count("Failed to create event tap") == 1; }));
    EXPECT_FALSE(replacer->isRegistered());
}

TEST_F(TapLifecycleTest, DeadTapIsMarkedUnregisteredAndResetBringsItBack) {
    storeLibrary({snippet("sig", "Best regards")});
    start();
    tap->fail();
    ASSERT_TRUE(eventually([&] {
        return logs.contains(platform::LogLevel::Error, "Event tap stopped delivering keys; marked unregistered");
    }));
    EXPECT_FALSE(replacer->isRegistered());

    const size_t next = taps.created();
    replacer->reset();
    EXPECT_TRUE(logs.contains(platform::LogLevel::Info, "Resetting TextReplacer"));
    tap = taps.waitForRunningTap(next);
    ASSERT_TRUE(tap);
    EXPECT_TRUE(replacer->isRegistered());
    type(";sig");
    EXPECT_FALSE(timeline.entries().empty());
}

TEST_F(TapLifecycleTest, StartUpWaitsForPermissionThenStartsOnce) {
    accessibility.setTrusted(false);
    makeEngine();
    sablix::AppDelegate delegate(delegateWiring());
    delegate.applicationDidFinishLaunching();
    EXPECT_FALSE(delegate.isStarted());
    EXPECT_EQ(analytics.names(), std::vector<std::string>{"app_launch"}) << "recorded even while waiting";
    EXPECT_EQ(logs.count("Cannot register - accessibility permissions not granted"), 1u);
    ASSERT_TRUE(eventually([&] { return delegate.isWaitingForPermission(); }));

    QTest::qWait(1200);
    EXPECT_FALSE(delegate.isStarted()) << "still no permission";
    EXPECT_EQ(taps.attempts(), 0u);
    EXPECT_EQ(steps, std::vector<std::string>{"pending install"}) << "no hot key before the permission";

    accessibility.setTrusted(true);
    ASSERT_TRUE(eventually([&] { return delegate.isStarted(); }));
    EXPECT_FALSE(delegate.isWaitingForPermission());
    tap = taps.waitForRunningTap(0);
    ASSERT_TRUE(tap);
    QTest::qWait(1200);
    EXPECT_EQ(taps.created(), 1u) << "the poll must stop once the application has started";
    // The update check comes 3 s after launch, whatever the permission does meanwhile.
    ASSERT_TRUE(eventually([&] { return std::ranges::count(steps, "update check") == 1; }, 4000));
    EXPECT_EQ(steps.front(), "pending install");
    EXPECT_EQ(std::ranges::count(steps, "register hot key"), 1);

    steps.clear();
    delegate.applicationWillTerminate();
    EXPECT_EQ(steps, (std::vector<std::string>{"unregister hot key", "stop sync"}));
    EXPECT_FALSE(delegate.isStarted());
    EXPECT_FALSE(replacer->isRegistered());
    EXPECT_TRUE(tap->waitUntilFinished());
}

TEST_F(TapLifecycleTest, WatchdogRestartsOnlyATapThatIsDown) {
    makeEngine();
    sablix::AppDelegate delegate(delegateWiring(std::chrono::milliseconds(100)));
    delegate.applicationDidFinishLaunching();
    ASSERT_TRUE(delegate.isStarted());
    tap = taps.waitForRunningTap(0);
    ASSERT_TRUE(tap);

    QTest::qWait(350);
    EXPECT_EQ(taps.created(), 1u) << "a running tap is left alone";
    EXPECT_EQ(logs.count("Resetting TextReplacer"), 0u);

    tap->fail();
    ASSERT_TRUE(eventually([&] { return taps.created() == 2; }));
    EXPECT_TRUE(taps.waitForRunningTap(1));
    EXPECT_TRUE(eventually([&] { return replacer->isRegistered(); }));

    delegate.applicationWillTerminate();
    // Quitting while waiting for the permission is just as quiet.
    accessibility.setTrusted(false);
    sablix::AppDelegate waiting(delegateWiring());
    waiting.applicationDidFinishLaunching();
    waiting.applicationWillTerminate();
    EXPECT_FALSE(waiting.isWaitingForPermission());
}

TEST_F(TapLifecycleTest, StarterSnippetsOnlyForAFreshInstallation) {
    makeEngine();
    {
        sablix::AppDelegate delegate(delegateWiring());
        delegate.applicationDidFinishLaunching();
        delegate.applicationWillTerminate();
    }
    const auto stored = sablix::SnippetController(defaults).loadItems();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(replacer->triggerCache()->size(), 3u) << "the starters must expand at once";

    // An existing library, even an empty one, stays as it is.
    storeLibrary({});
    sablix::AppDelegate again(delegateWiring());
    again.applicationDidFinishLaunching();
    again.applicationWillTerminate();
    EXPECT_TRUE(sablix::SnippetController(defaults).loadItems().empty());
}
