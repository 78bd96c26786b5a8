#pragma once
#include <chrono>
#include <cstdint>
#include <functional>

#include <linux/netlink.h>

#include "posix/Result.h"

namespace posix {

// A socket on the kernel's routing tables (rtnetlink), closed with the object.
class RouteSocket {
public:
    // groups: the change notices (RTMGRP_*) to receive, 0 for a socket that only asks.
    explicit RouteSocket(unsigned groups);
    ~RouteSocket();
    RouteSocket(RouteSocket&& other) noexcept;
    RouteSocket& operator=(RouteSocket&& other) noexcept;

    // Why the socket could not be opened; none when it is open.
    Result status() const { return {openError_}; }
    // For poll: readable when notices wait.
    int fd() const { return fd_; }

    // A dump fails with EAGAIN once the kernel has not answered for this long.
    Result setReceiveTimeout(std::chrono::seconds timeout);
    // Asks for every link, address or route (RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE) and hands each
    // message of the answer to visit, the message's fixed part always whole. Fails on a socket error
    // or when the kernel refuses.
    Result dump(uint16_t request, const std::function<void(const nlmsghdr&)>& visit);
    // Reads away every notice waiting, notices lost to an overrun included (a dump catches up with
    // them); fails when the socket failed for good.
    Result drain();

private:
    int fd_ = -1;
    int openError_ = 0;
    uint32_t sequence_ = 0;
};

}  // namespace posix
