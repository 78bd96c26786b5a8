#include <QCoreApplication>
#include <QSignalSpy>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>

#include "Shell/Network/NetworkMonitor.h"
#include "desktop/QtMainQueue.h"
#include "platform/NetlinkPathMonitor.h"
#include "support/ChildProcess.h"

using sablix::NetworkMonitor;
using ConnectionType = sablix::NetworkMonitor::ConnectionType;

namespace {

// Set in the copy of this program that runs inside the private network namespace.
constexpr const char* kInsideNamespace = "SABLIX_TEST_INSIDE_NETNS";

bool shell(const std::string& command, std::string* output = nullptr) {
    int code = -1;
    std::string out = testsupport::runCommand({"sh", "-c", command + " 2>&1"}, &code);
    if (output) *output = out;
    return code == 0;
}

// The route changes happen in a network namespace of the test's own: nothing of the machine's
// network is touched, and the namespace starts with no route at all.
TEST(NetlinkNetworkMonitor, DefaultRouteComingAndGoingFlipsConnectivity) {
    if (!std::getenv(kInsideNamespace)) {
        std::string reason;
        std::vector<std::string> argv;
        for (const char* flags : {"-rn", "-n"})
            if (shell(std::string("unshare ") + flags + " true", &reason)) {
                argv = {"unshare", flags};
                break;
            }
        if (argv.empty()) GTEST_SKIP() << "no private network namespace here: " << reason;
        argv.push_back(std::filesystem::read_symlink("/proc/self/exe").string());
        argv.push_back("--gtest_filter=NetlinkNetworkMonitor.DefaultRouteComingAndGoingFlipsConnectivity");
        int code = -1;
        std::string output = testsupport::runCommand(argv, &code, 60000, {std::string(kInsideNamespace) + "=1"});
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
    NetworkMonitor monitor(std::make_unique<platform::NetlinkPathMonitor>(), mainQueue);
    QSignalSpy flips(&monitor, &NetworkMonitor::networkConnectivityChanged);
    // Runs the command, waits for the next flip and answers whether it says connected.
    int expected = 0;
    const auto flipAfter = [&](const std::string& command) {
        ++expected;
        EXPECT_TRUE(command.empty() || shell(command)) << command;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (flips.count() < expected && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_EQ(flips.count(), expected) << command;
        EXPECT_EQ(flips.value(expected - 1).value(0).toBool(), monitor.isConnected());
        return monitor.isConnected();
    };

    EXPECT_FALSE(flipAfter("")) << "no default route: the first path turns the initial \"online\" off";
    EXPECT_TRUE(flipAfter("ip route add default dev lo"));
    EXPECT_EQ(monitor.connectionType(), ConnectionType::loopback);
    EXPECT_FALSE(flipAfter("ip route del default"));

    // An Ethernet-like link whose carrier drops while its default route stays in the table.
    std::string why;
    if (!shell("ip link add sbxnet0 type veth peer name sbxnet1", &why)) {
        std::cout << "veth links unavailable, carrier case not run: " << why;
        return;
    }
    EXPECT_TRUE(flipAfter("ip link set sbxnet0 up && ip link set sbxnet1 up && ip route add default dev sbxnet0"));
    EXPECT_EQ(monitor.connectionType(), ConnectionType::wired);
    EXPECT_FALSE(flipAfter("ip link set sbxnet1 down"));
}

}  // namespace
