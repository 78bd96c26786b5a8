#include "platform/NetlinkPathMonitor.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>

#include "platform/Log.h"
#include "posix/RtNetlink.h"

namespace platform {
namespace {

const Log& log() {
    static const Log logger = appLog("NetworkMonitor");
    return logger;
}

// The thread stands in for the serial queue the monitor reports on; the kernel keeps 15
// characters of the name.
constexpr const char* kThreadName = "com.sablix.networkmonitor";

// A dump that the kernel stops answering must not hold the thread for ever.
constexpr std::chrono::seconds kDumpTimeout{2};

struct Link {
    std::string name;
    unsigned type = 0;
    unsigned flags = 0;
    bool usable() const { return (flags & IFF_UP) && (flags & IFF_RUNNING); }
};

// What one dump of the links and routes holds.
struct RoutingState {
    std::map<int, Link> links;
    std::vector<int> defaultRouteInterfaces;  // 0: a default route whose interface is not named
};

void readLink(const nlmsghdr& header, RoutingState& state) {
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&header));
    Link link{.name = {}, .type = info->ifi_type, .flags = info->ifi_flags};
    int length = static_cast<int>(IFLA_PAYLOAD(&header));
    for (const rtattr* attribute = IFLA_RTA(info); RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length))
        if (attribute->rta_type == IFLA_IFNAME)
            link.name.assign(static_cast<const char*>(RTA_DATA(attribute)),
                             strnlen(static_cast<const char*>(RTA_DATA(attribute)), RTA_PAYLOAD(attribute)));
    state.links[info->ifi_index] = link;
}

void readRoute(const nlmsghdr& header, RoutingState& state) {
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(&header));
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return;
    if (route->rtm_family != AF_INET && route->rtm_family != AF_INET6) return;
    constexpr unsigned kDeadNextHop = RTNH_F_DEAD | RTNH_F_LINKDOWN;
    if (route->rtm_flags & kDeadNextHop) return;

    std::vector<int> interfaces;
    int length = static_cast<int>(RTM_PAYLOAD(&header));
    for (const rtattr* attribute = RTM_RTA(route); RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int)) {
            int index;
            std::memcpy(&index, RTA_DATA(attribute), sizeof index);
            interfaces.push_back(index);
        } else if (attribute->rta_type == RTA_MULTIPATH) {
            const auto* hop = static_cast<const rtnexthop*>(RTA_DATA(attribute));
            int remaining = static_cast<int>(RTA_PAYLOAD(attribute));
            while (remaining >= static_cast<int>(sizeof(rtnexthop)) && hop->rtnh_len >= sizeof(rtnexthop) &&
                   hop->rtnh_len <= remaining) {
                if (!(hop->rtnh_flags & kDeadNextHop)) interfaces.push_back(hop->rtnh_ifindex);
                remaining -= RTNH_ALIGN(hop->rtnh_len);
                hop = RTNH_NEXT(hop);
            }
            // Every hop dead: the route leads nowhere.
            if (interfaces.empty()) return;
        }
    }
    // A route through a shared next-hop object names no interface here; it still leads out.
    if (interfaces.empty()) interfaces.push_back(0);
    state.defaultRouteInterfaces.insert(state.defaultRouteInterfaces.end(), interfaces.begin(), interfaces.end());
}

// Reads the links and routes into state; fails when the kernel refused or the answer did not
// arrive in full.
posix::Result readRoutingState(RoutingState& state) {
    posix::RouteSocket socket(0);
    if (!socket.status()) return socket.status();
    if (auto timeout = socket.setReceiveTimeout(kDumpTimeout); !timeout) return timeout;
    const auto links = socket.dump(RTM_GETLINK, [&](const nlmsghdr& message) {
        if (message.nlmsg_type == RTM_NEWLINK) readLink(message, state);
    });
    if (!links) return links;
    return socket.dump(RTM_GETROUTE, [&](const nlmsghdr& message) {
        if (message.nlmsg_type == RTM_NEWROUTE) readRoute(message, state);
    });
}

NetworkPath pathOf(const RoutingState& state, const std::string& sysfsNetRoot) {
    NetworkPath path;
    for (int index : state.defaultRouteInterfaces) {
        InterfaceKind kind = InterfaceKind::other;
        if (index != 0) {
            auto link = state.links.find(index);
            if (link == state.links.end() || !link->second.usable()) continue;
            kind = NetlinkPathMonitor::interfaceKind(sysfsNetRoot, link->second.name, link->second.type);
        }
        path.satisfied = true;
        if (!path.uses(kind)) path.interfaces.push_back(kind);
    }
    // A mobile broadband link is the one kind Linux tells apart that usually costs by the byte.
    path.isExpensive = path.uses(InterfaceKind::cellular);
    return path;
}

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string deviceType(const std::string& folder) {
    std::ifstream uevent(folder + "/uevent");
    std::string line;
    while (std::getline(uevent, line))
        if (line.rfind("DEVTYPE=", 0) == 0) return line.substr(8);
    return {};
}

}  // namespace

NetlinkPathMonitor::NetlinkPathMonitor(std::string sysfsNetRoot) : sysfsNetRoot_(std::move(sysfsNetRoot)) {}

NetlinkPathMonitor::~NetlinkPathMonitor() { cancel(); }

InterfaceKind NetlinkPathMonitor::interfaceKind(const std::string& sysfsNetRoot, const std::string& name,
                                                unsigned arphrdType) {
    if (!name.empty() && name.find('/') == std::string::npos && name != "." && name != "..") {
        const std::string folder = sysfsNetRoot + "/" + name;
        const std::string type = deviceType(folder);
        if (type == "wlan" || exists(folder + "/wireless") || exists(folder + "/phy80211")) return InterfaceKind::wifi;
        if (type == "wwan") return InterfaceKind::cellular;
    }
    if (arphrdType == ARPHRD_LOOPBACK) return InterfaceKind::loopback;
    if (arphrdType == ARPHRD_ETHER) return InterfaceKind::wired;
    return InterfaceKind::other;
}

void NetlinkPathMonitor::start(Handler handler) {
    if (thread_) return;
    // Subscribed before the first dump, so no change falls between the two.
    posix::RouteSocket events(RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
    if (!events.status()) {
        log().error("Cannot open a routing socket (%s); network changes will not be seen",
                    events.status().message().c_str());
        return;
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        log().error("Cannot create an event descriptor (%s); network changes will not be seen", std::strerror(errno));
        return;
    }
    eventSocket_ = std::make_unique<posix::RouteSocket>(std::move(events));
    thread_ = std::make_unique<NamedThread>(kThreadName, [this, handler = std::move(handler)] { run(handler); });
}

void NetlinkPathMonitor::cancel() {
    if (!thread_) return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
    thread_.reset();
    eventSocket_.reset();
    close(wakeFd_);
    wakeFd_ = -1;
}

void NetlinkPathMonitor::run(Handler handler) {
    std::optional<NetworkPath> reported;
    bool stale = true;
    for (;;) {
        if (stale) {
            RoutingState state;
            if (const auto read = readRoutingState(state)) {
                NetworkPath path = pathOf(state, sysfsNetRoot_);
                if (path != reported) {
                    reported = path;
                    handler(path);
                }
                stale = false;
            } else {
                log().error("Reading the routing tables failed (%s)", read.message().c_str());
            }
        }
        pollfd waits[] = {{.fd = eventSocket_->fd(), .events = POLLIN, .revents = 0},
                          {.fd = wakeFd_, .events = POLLIN, .revents = 0}};
        // A failed dump is tried again after a pause instead of waiting for the next change.
        const int timeout = stale ? static_cast<int>(std::chrono::milliseconds(kDumpTimeout).count()) : -1;
        int ready = poll(waits, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            log().error("Waiting for routing changes failed (%s)", std::strerror(errno));
            return;
        }
        if (waits[1].revents) return;
        if (waits[0].revents) {
            // An overrun (ENOBUFS) lost changes: the next dump catches up with them.
            if (const auto drained = eventSocket_->drain(); !drained) {
                log().error("Reading routing changes failed (%s)", drained.message().c_str());
                return;
            }
            stale = true;
        }
    }
}

}  // namespace platform
