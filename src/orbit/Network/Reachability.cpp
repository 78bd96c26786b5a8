#include "orbit/Network/Reachability.h"

#include <cerrno>
#include <linux/rtnetlink.h>
#include <map>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

#include "orbit/Utils/HedgeLog.h"
#include "posix/RtNetlink.h"

namespace orbit {

namespace {

std::string errorText(int code) { return std::error_code(code, std::generic_category()).message(); }

}  // namespace

RtnetlinkFlagsSource::~RtnetlinkFlagsSource() { unwatch(); }

std::optional<uint32_t> RtnetlinkFlagsSource::readFlags(std::string* error) {
    posix::RouteSocket socket(0);
    if (!socket.status()) {
        *error = socket.status().message();
        return std::nullopt;
    }
    std::map<int, unsigned> linkFlags;
    const auto links = socket.dump(RTM_GETLINK, [&](const nlmsghdr& message) {
        if (message.nlmsg_type != RTM_NEWLINK) return;
        const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(&message));
        linkFlags[link->ifi_index] = link->ifi_flags;
    });
    if (!links) {
        *error = links.message();
        return std::nullopt;
    }
    bool reachable = false;
    const auto routes = socket.dump(RTM_GETROUTE, [&](const nlmsghdr& message) {
        if (message.nlmsg_type != RTM_NEWROUTE) return;
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(&message));
        if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return;
        if (route->rtm_flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN)) return;
        uint32_t table = route->rtm_table;
        int outInterface = 0;
        bool multipath = false;
        auto length = RTM_PAYLOAD(&message);
        for (auto* attribute = RTM_RTA(route); RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
            if (attribute->rta_type == RTA_TABLE)
                table = *static_cast<const uint32_t*>(RTA_DATA(attribute));
            else if (attribute->rta_type == RTA_OIF)
                outInterface = *static_cast<const int*>(RTA_DATA(attribute));
            else if (attribute->rta_type == RTA_MULTIPATH)
                multipath = true;
        }
        if (table != RT_TABLE_MAIN) return;
        if (multipath && outInterface == 0) {
            reachable = true;
            return;
        }
        const auto link = linkFlags.find(outInterface);
        if (link == linkFlags.end()) return;
        if ((link->second & IFF_UP) && (link->second & IFF_RUNNING)) reachable = true;
    });
    if (!routes) {
        *error = routes.message();
        return std::nullopt;
    }
    return reachable ? ReachabilityFlag::reachable : 0u;
}

bool RtnetlinkFlagsSource::watch(std::function<void()> changed, std::string* error) {
    std::lock_guard lock(lock_);
    if (thread_.joinable()) return true;
    posix::RouteSocket socket(RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_IFADDR |
                              RTMGRP_IPV6_IFADDR);
    if (!socket.status()) {
        *error = socket.status().message();
        return false;
    }
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (stopFd_ < 0) {
        *error = errorText(errno);
        return false;
    }
    thread_ = std::thread([socket = std::move(socket), stop = stopFd_, changed = std::move(changed)]() mutable {
        pthread_setname_np(pthread_self(), "orbit.reach");
        for (;;) {
            pollfd waits[2] = {{socket.fd(), POLLIN, 0}, {stop, POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (waits[1].revents) break;
            // Read everything pending, then the routes once: a burst is one change.
            if (const auto drained = socket.drain(); !drained) {
                hedgeLog("The reachability watch stopped: " + drained.message());
                break;
            }
            changed();
        }
        ::close(stop);
    });
    return true;
}

void RtnetlinkFlagsSource::unwatch() {
    std::thread watcher;
    int stop = -1;
    {
        std::lock_guard lock(lock_);
        if (!thread_.joinable()) return;
        watcher = std::move(thread_);
        stop = stopFd_;
        stopFd_ = -1;
    }
    // The watch thread closes its socket and the stop descriptor when it ends.
    const uint64_t one = 1;
    if (::write(stop, &one, sizeof one) < 0) hedgeLog("Could not stop the reachability watch " + errorText(errno));
    if (std::this_thread::get_id() == watcher.get_id())
        watcher.detach();
    else
        watcher.join();
}

Reachability::Reachability(std::unique_ptr<ReachabilityFlagsSource> source, OrbitExecutor notificationQueue)
    : source_(std::move(source)), notificationQueue_(std::move(notificationQueue)), alive_(std::make_shared<Alive>()) {
    alive_->owner = this;
}

Reachability::~Reachability() {
    {
        std::lock_guard lock(alive_->lock);
        alive_->owner = nullptr;
    }
    stopNotifier();
}

std::optional<ReachabilityError> Reachability::startNotifier() {
    std::lock_guard lock(startLock_);
    if (notifierRunning_) return std::nullopt;
    std::string error;
    std::weak_ptr<Alive> weak = alive_;
    const bool watching = source_->watch(
        [weak] {
            const auto alive = weak.lock();
            if (!alive) return;
            // The owner cannot go away while the watch runs: its destructor stops the watch first.
            Reachability* owner = nullptr;
            {
                std::lock_guard aliveLock(alive->lock);
                owner = alive->owner;
            }
            if (owner) {
                std::string ignored;
                owner->setReachabilityFlags(&ignored);
            }
        },
        &error);
    if (!watching) {
        hedgeLog("Unable to watch the network: " + error);
        source_->unwatch();
        return ReachabilityError::unableToSetCallback;
    }
    if (!setReachabilityFlags(&error)) return ReachabilityError::unableToGetFlags;
    notifierRunning_ = true;
    return std::nullopt;
}

void Reachability::stopNotifier() {
    source_->unwatch();
    notifierRunning_ = false;
}

bool Reachability::setReachabilityFlags(std::string* error) {
    std::optional<uint32_t> read;
    {
        std::lock_guard lock(readLock_);
        read = source_->readFlags(error);
        if (read) {
            const auto before = flags_.exchange(*read);
            if (before == static_cast<int64_t>(*read)) return true;
        }
    }
    if (!read) {
        stopNotifier();
        return false;
    }
    announce();
    return true;
}

void Reachability::announce() {
    std::weak_ptr<Alive> weak = alive_;
    auto announcement = [weak] {
        const auto alive = weak.lock();
        if (!alive) return;
        // Announcements run on the host's main queue, where the owner is also destroyed.
        Reachability* owner = nullptr;
        {
            std::lock_guard lock(alive->lock);
            owner = alive->owner;
        }
        if (!owner) return;
        if (owner->connection() != Connection::unavailable)
            owner->onReachable.invoke(*owner);
        else
            owner->onUnreachable.invoke(*owner);
    };
    if (notificationQueue_)
        notificationQueue_(std::move(announcement));
    else
        announcement();
}

Reachability::Connection Reachability::connection() {
    if (flags_.load() == kAbsent) {
        std::string ignored;
        setReachabilityFlags(&ignored);
    }
    const auto flags = flags_.load();
    if (flags == kAbsent) return Connection::unavailable;
    return connectionFor(static_cast<uint32_t>(flags));
}

Reachability::Connection Reachability::connectionFor(uint32_t flags) {
    using namespace ReachabilityFlag;
    if (!(flags & reachable)) return Connection::unavailable;
    if ((flags & (connectionOnTraffic | connectionOnDemand)) && !(flags & interventionRequired))
        return Connection::wifi;
    return (flags & connectionRequired) ? Connection::unavailable : Connection::wifi;
}

std::string Reachability::describeFlags(uint32_t flags) {
    using namespace ReachabilityFlag;
    std::string text = "-";
    text += (flags & reachable) ? 'R' : '-';
    text += ' ';
    text += (flags & connectionRequired) ? 'c' : '-';
    text += (flags & transientConnection) ? 't' : '-';
    text += (flags & interventionRequired) ? 'i' : '-';
    text += (flags & connectionOnTraffic) ? 'C' : '-';
    text += (flags & connectionOnDemand) ? 'D' : '-';
    text += (flags & isLocalAddress) ? 'l' : '-';
    text += (flags & isDirect) ? 'd' : '-';
    return text;
}

std::string Reachability::description() const {
    const auto flags = flags_.load();
    return flags == kAbsent ? "unavailable flags" : describeFlags(static_cast<uint32_t>(flags));
}

}  // namespace orbit
