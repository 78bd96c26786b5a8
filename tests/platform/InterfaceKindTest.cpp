#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/if_arp.h>
#include <unistd.h>

#include "platform/NetlinkPathMonitor.h"

using platform::InterfaceKind;
using platform::NetlinkPathMonitor;

namespace {

// Wireless and mobile links are Ethernet-like or bare to the kernel's hardware type: only
// their sysfs folders tell them apart from a cable.
TEST(InterfaceKind, SysfsTellsRadiosFromCables) {
    std::string pattern = (std::filesystem::temp_directory_path() / "sablix-sysfs-XXXXXX").string();
    const std::filesystem::path root = ::mkdtemp(pattern.data());
    std::filesystem::create_directories(root / "wlp2s0" / "wireless");
    std::filesystem::create_directories(root / "wlan1");
    std::ofstream(root / "wlan1" / "uevent") << "DEVTYPE=wlan\nINTERFACE=wlan1\n";
    std::filesystem::create_directories(root / "wwan0");
    std::ofstream(root / "wwan0" / "uevent") << "DEVTYPE=wwan\nINTERFACE=wwan0\n";
    std::filesystem::create_directories(root / "br0");
    std::ofstream(root / "br0" / "uevent") << "DEVTYPE=bridge\nINTERFACE=br0\n";
    const std::string r = root.string();

    EXPECT_EQ(NetlinkPathMonitor::interfaceKind(r, "wlp2s0", ARPHRD_ETHER), InterfaceKind::wifi);
    EXPECT_EQ(NetlinkPathMonitor::interfaceKind(r, "wlan1", ARPHRD_ETHER), InterfaceKind::wifi);
    EXPECT_EQ(NetlinkPathMonitor::interfaceKind(r, "wwan0", ARPHRD_NONE), InterfaceKind::cellular);
    EXPECT_EQ(NetlinkPathMonitor::interfaceKind(r, "br0", ARPHRD_ETHER), InterfaceKind::wired);
    EXPECT_EQ(NetlinkPathMonitor::interfaceKind(r, "enp0s31f6", ARPHRD_ETHER), InterfaceKind::wired);
    EXPECT_EQ(NetlinkPathMonitor::interfaceKind(r, "lo", ARPHRD_LOOPBACK), InterfaceKind::loopback);
    EXPECT_EQ(NetlinkPathMonitor::interfaceKind(r, "tun0", ARPHRD_NONE), InterfaceKind::other);
    // A name the kernel would never give must not lead the lookup out of the folder.
    EXPECT_EQ(NetlinkPathMonitor::interfaceKind(r + "/wlp2s0/wireless", "..", ARPHRD_ETHER), InterfaceKind::wired);

    std::filesystem::remove_all(root);
}

}  // namespace
