#include <QCoreApplication>
#include <QSignalSpy>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Models/Network/NetworkMonitor.h"
#include "desktop/QtMainQueue.h"
#include "platform/NetlinkPathMonitor.h"
#include "support/ChildProcess.h"

using platform::NetlinkPathMonitor;
using sablix::NetworkMonitor;
using ConnectionType = sablix::NetworkMonitor::ConnectionType;
using testsupport::runCommand;

namespace {

// Set in the copy of this program that runs inside the private network namespace.
constexpr const char* kInsideNamespace = "SABLIX_TEST_INSIDE_NETNS";

bool shell(const std::string& command, std::string* output = nullptr) {
    int code = -1;
    std::string out = runCommand({"sh", "-c", command + " 2>&1"}, &code);
    if (output) *output = out;
    return code == 0;
}

template <class Predicate>
bool waitUntil(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// The route changes happen in a network namespace of the test's own: nothing of the machine's
// network is touched, and the namespace starts with no route at all.
TEST(NetlinkNetworkMonitor, DefaultRouteComingAndGoingFlipsConnectivity) {
    if (!std::getenv(kInsideNamespace)) {
        std::string reason;
        std::vector<std::string> unshare;
        for (std::vector<std::string> candidate : {std::vector<std::string>{"unshare", "-rn"}, {"unshare", "-n"}})
            if (shell(candidate[0] + " " + candidate[1] + " true", &reason)) {
                unshare = candidate;
                break;
            }
        if (unshare.empty()) GTEST_SKIP() << "no private network namespace here: " << reason;

        std::vector<std::string> argv = unshare;
        argv.push_back(std::filesystem::read_symlink("/proc/self/exe").string());
        argv.push_back("--gtest_filter=NetlinkNetworkMonitor.DefaultRouteComingAndGoingFlipsConnectivity");
        int code = -1;
        std::string output = runCommand(argv, &code, 60000, {std::string(kInsideNamespace) + "=1"});
        EXPECT_EQ(code, 0) << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
        return;
    }

    // Only in a namespace of its own, which holds nothing but a loopback link.
    std::string links;
    ASSERT_TRUE(shell("ip -o link show", &links));
    ASSERT_EQ(std::count(links.begin(), links.end(), '\n'), 1) << "not in a fresh network namespace:\n" << links;
    ASSERT_TRUE(shell("ip link set lo up"));
    desktop::QtMainQueue mainQueue;
    NetworkMonitor monitor(std::make_unique<NetlinkPathMonitor>(), mainQueue);
    QSignalSpy flips(&monitor, &NetworkMonitor::networkConnectivityChanged);

    // No default route: the first path turns the initial "online" off.
    ASSERT_TRUE(waitUntil([&] { return flips.count() == 1; }));
    EXPECT_FALSE(monitor.isConnected());

    ASSERT_TRUE(shell("ip route add default dev lo"));
    ASSERT_TRUE(waitUntil([&] { return flips.count() == 2; }));
    EXPECT_TRUE(flips[1][0].toBool());
    EXPECT_TRUE(monitor.isConnected());
    EXPECT_EQ(monitor.connectionType(), ConnectionType::loopback);

    ASSERT_TRUE(shell("ip route del default"));
    ASSERT_TRUE(waitUntil([&] { return flips.count() == 3; }));
    EXPECT_FALSE(flips[2][0].toBool());
    EXPECT_FALSE(monitor.isConnected());

    // An Ethernet-like link whose carrier drops while its default route stays in the table.
    std::string why;
    if (!shell("ip link add sbxnet0 type veth peer name sbxnet1", &why)) {
        std::cout << "veth links unavailable, carrier case not run: " << why;
        return;
    }
    ASSERT_TRUE(shell("ip link set sbxnet0 up && ip link set sbxnet1 up && ip route add default dev sbxnet0"));
    ASSERT_TRUE(waitUntil([&] { return flips.count() == 4; }));
    EXPECT_TRUE(monitor.isConnected());
    EXPECT_EQ(monitor.connectionType(), ConnectionType::wired);

    ASSERT_TRUE(shell("ip link set sbxnet1 down"));
    ASSERT_TRUE(waitUntil([&] { return flips.count() == 5; }));
    EXPECT_FALSE(monitor.isConnected());
}

}  // namespace
