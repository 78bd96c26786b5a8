#include <QSignalSpy>
#include <deque>
#include <gtest/gtest.h>

#include "Models/Network/NetworkMonitor.h"
#include "support/FakePathMonitor.h"

using platform::InterfaceKind;
using platform::NetworkPath;
using sablix::NetworkMonitor;
using ConnectionType = sablix::NetworkMonitor::ConnectionType;
using testsupport::FakePathMonitor;

namespace {

// The main queue, run by hand: an update stays queued until the test lets it through.
class ManualQueue final : public platform::Executor {
public:
    void async(platform::Task task) override { tasks.push_back(std::move(task)); }
    void asyncAfter(std::chrono::milliseconds, platform::Task task) override { async(std::move(task)); }
    void runAll() {
        while (!tasks.empty()) {
            auto task = std::move(tasks.front());
            tasks.pop_front();
            task();
        }
    }
    std::deque<platform::Task> tasks;
};

NetworkPath online(std::vector<InterfaceKind> interfaces) { return {.satisfied = true, .interfaces = interfaces}; }
NetworkPath offline() { return {}; }

class NetworkMonitorTest : public ::testing::Test {
protected:
    NetworkMonitorTest() {
        auto fake = std::make_unique<FakePathMonitor>();
        path = fake->state();
        monitor = std::make_unique<NetworkMonitor>(std::move(fake), mainQueue);
    }
    void deliver(const NetworkPath& update) {
        FakePathMonitor::report(*path, update);
        mainQueue.runAll();
    }

    ManualQueue mainQueue;
    std::shared_ptr<FakePathMonitor::State> path;
    std::unique_ptr<NetworkMonitor> monitor;
};

TEST_F(NetworkMonitorTest, ReportsOnlineUntilTheFirstPathReachesTheMainQueue) {
    ASSERT_TRUE(path->started);
    FakePathMonitor::report(*path, offline());
    EXPECT_TRUE(monitor->isConnected());
    EXPECT_TRUE(monitor->isWiFi());
    EXPECT_FALSE(monitor->isExpensive());
    EXPECT_FALSE(monitor->isConstrained());
    EXPECT_EQ(monitor->connectionType(), ConnectionType::unknown);

    mainQueue.runAll();
    EXPECT_FALSE(monitor->isConnected());
}

TEST_F(NetworkMonitorTest, AnnouncesConnectivityOnlyWhenItFlips) {
    QSignalSpy flips(monitor.get(), &NetworkMonitor::networkConnectivityChanged);
    QSignalSpy connectedAssignments(monitor.get(), &NetworkMonitor::isConnectedChanged);
    QSignalSpy typeAssignments(monitor.get(), &NetworkMonitor::connectionTypeChanged);

    deliver(online({InterfaceKind::wifi}));  // true → true: nothing to announce
    EXPECT_EQ(flips.count(), 0);
    deliver(online({InterfaceKind::wired}));  // the medium alone changes
    EXPECT_EQ(flips.count(), 0);
    EXPECT_EQ(monitor->connectionType(), ConnectionType::wired);
    EXPECT_FALSE(monitor->isWiFi());
    deliver({.satisfied = true, .interfaces = {InterfaceKind::wired}, .isExpensive = true, .isConstrained = true});
    EXPECT_EQ(flips.count(), 0);

    deliver(offline());
    deliver(offline());
    deliver(online({InterfaceKind::cellular}));
    ASSERT_EQ(flips.count(), 2);
    EXPECT_EQ(flips[0][0].toBool(), false);
    EXPECT_EQ(flips[1][0].toBool(), true);

    // Each update assigns every value, so observers hear of equal ones too.
    EXPECT_EQ(connectedAssignments.count(), 6);
    EXPECT_EQ(typeAssignments.count(), 6);
}

TEST_F(NetworkMonitorTest, ClassifiesThePathWifiFirst) {
    struct Case {
        std::vector<InterfaceKind> interfaces;
        ConnectionType expected;
    };
    const Case cases[] = {
        {{InterfaceKind::wired, InterfaceKind::wifi}, ConnectionType::wifi},
        {{InterfaceKind::wired, InterfaceKind::cellular}, ConnectionType::cellular},
        {{InterfaceKind::loopback, InterfaceKind::wired}, ConnectionType::wired},
        {{InterfaceKind::loopback}, ConnectionType::loopback},
        {{InterfaceKind::other}, ConnectionType::unknown},
        {{}, ConnectionType::unknown},
    };
    for (const Case& c : cases) {
        deliver({.satisfied = true, .interfaces = c.interfaces, .isExpensive = true, .isConstrained = false});
        EXPECT_EQ(monitor->connectionType(), c.expected) << NetworkMonitor::rawValue(c.expected);
        EXPECT_EQ(monitor->isWiFi(), c.expected == ConnectionType::wifi);
        EXPECT_TRUE(monitor->isExpensive());
        EXPECT_FALSE(monitor->isConstrained());
    }

    for (ConnectionType type : {ConnectionType::wifi, ConnectionType::cellular, ConnectionType::wired,
                                ConnectionType::loopback, ConnectionType::unknown})
        EXPECT_EQ(NetworkMonitor::connectionType(NetworkMonitor::rawValue(type)), type);
    EXPECT_EQ(NetworkMonitor::rawValue(ConnectionType::wifi), "WiFi");
    EXPECT_EQ(NetworkMonitor::connectionType("wifi"), std::nullopt);
}

TEST_F(NetworkMonitorTest, StopsItsSourceAndDropsUpdatesThatOutliveIt) {
    FakePathMonitor::report(*path, offline());
    ASSERT_EQ(mainQueue.tasks.size(), 1u);
    monitor.reset();
    EXPECT_TRUE(path->cancelled);
    mainQueue.runAll();  // must not touch the destroyed monitor (the sanitizer build would tell)
}

}  // namespace
