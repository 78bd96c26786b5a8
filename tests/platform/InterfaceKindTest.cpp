#include <gtest/gtest.h>
#include <linux/if_arp.h>

#include "platform/NetlinkPathMonitor.h"
#include "support/ModelsTestSupport.h"

using platform::InterfaceKind;

// Wireless and mobile links are Ethernet-like or bare to the kernel's hardware type: only
// their sysfs folders tell them apart from a cable.
TEST(InterfaceKind, SysfsTellsRadiosFromCables) {
    modelstest::TempDir root;
    std::filesystem::create_directories(root.path() / "wlp2s0" / "wireless");
    for (const char* name : {"wlan1", "wwan0", "br0"}) std::filesystem::create_directories(root.path() / name);
    modelstest::writeFile(root.path() / "wlan1" / "uevent", "DEVTYPE=wlan\nINTERFACE=wlan1\n");
    modelstest::writeFile(root.path() / "wwan0" / "uevent", "DEVTYPE=wwan\nINTERFACE=wwan0\n");
    modelstest::writeFile(root.path() / "br0" / "uevent", "DEVTYPE=bridge\nINTERFACE=br0\n");
    const std::string r = root.path();
    const auto kind = [&](const char* name, unsigned type) {
        return platform::NetlinkPathMonitor::interfaceKind(r, name, type);
    };
    EXPECT_EQ(kind("wlp2s0", ARPHRD_ETHER), InterfaceKind::wifi);
    EXPECT_EQ(kind("wlan1", ARPHRD_ETHER), InterfaceKind::wifi);
    EXPECT_EQ(kind("wwan0", ARPHRD_NONE), InterfaceKind::cellular);
    EXPECT_EQ(kind("br0", ARPHRD_ETHER), InterfaceKind::wired);
    EXPECT_EQ(kind("enp0s31f6", ARPHRD_ETHER), InterfaceKind::wired);
    EXPECT_EQ(kind("lo", ARPHRD_LOOPBACK), InterfaceKind::loopback);
    EXPECT_EQ(kind("tun0", ARPHRD_NONE), InterfaceKind::other);
    // A name the kernel would never give must not lead the lookup out of the folder.
    EXPECT_EQ(platform::NetlinkPathMonitor::interfaceKind(r + "/wlp2s0/wireless", "..", ARPHRD_ETHER),
              InterfaceKind::wired);
}
