#include "posix/RtNetlink.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <linux/rtnetlink.h>

namespace posix {
namespace {

// What the kernel's answers hold ahead of their attributes; 0 for a type with no fixed part
// known here.
size_t fixedPartOf(uint16_t type) {
    switch (type) {
    case RTM_GETLINK:
    case RTM_NEWLINK:
    case RTM_DELLINK: return sizeof(ifinfomsg);
    case RTM_GETADDR:
    case RTM_NEWADDR:
    case RTM_DELADDR: return sizeof(ifaddrmsg);
    case RTM_GETROUTE:
    case RTM_NEWROUTE:
    case RTM_DELROUTE: return sizeof(rtmsg);
    default: return 0;
    }
}

}  // namespace

RouteSocket::RouteSocket(unsigned groups) {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0) {
        openError_ = errno;
        return;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = groups;
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        openError_ = errno;
        ::close(fd_);
        fd_ = -1;
    }
}

RouteSocket::~RouteSocket() {
    if (fd_ >= 0) ::close(fd_);
}

RouteSocket::RouteSocket(RouteSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), openError_(other.openError_), sequence_(other.sequence_) {}

RouteSocket& RouteSocket::operator=(RouteSocket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        openError_ = other.openError_;
        sequence_ = other.sequence_;
    }
    return *this;
}

Result RouteSocket::setReceiveTimeout(std::chrono::seconds timeout) {
    const timeval value{.tv_sec = static_cast<time_t>(timeout.count()), .tv_usec = 0};
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0) return {errno};
    return {};
}

Result RouteSocket::dump(uint16_t request, const std::function<void(const nlmsghdr&)>& visit) {
    struct {
        nlmsghdr header;
        union {
            ifinfomsg link;
            ifaddrmsg address;
            rtmsg route;
        } body;
    } message{};  // all zero: every family, every table
    const uint32_t sequence = ++sequence_;
    message.header.nlmsg_len = NLMSG_LENGTH(fixedPartOf(request));
    message.header.nlmsg_type = request;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = sequence;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd_, &message, message.header.nlmsg_len, 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return {errno};

    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
        const ssize_t received = ::recv(fd_, buffer, sizeof buffer, 0);
        if (received < 0 && errno == EINTR) continue;
        if (received < 0) return {errno};
        if (received == 0) return {EPIPE};
        auto length = static_cast<unsigned>(received);
        for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_seq != sequence) continue;
            if (header->nlmsg_type == NLMSG_DONE) return {};
            if (header->nlmsg_type == NLMSG_ERROR) {
                if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return {EPROTO};
                const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
                return {error > 0 ? error : EPROTO};
            }
            if (header->nlmsg_len >= NLMSG_LENGTH(fixedPartOf(header->nlmsg_type))) visit(*header);
        }
    }
}

Result RouteSocket::drain() {
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        const ssize_t received = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received > 0) continue;
        if (received < 0 && (errno == EINTR || errno == ENOBUFS)) continue;
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return {};
        return {received < 0 ? errno : EPIPE};
    }
}

}  // namespace posix
