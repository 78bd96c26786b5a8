#pragma once
#include <memory>
#include <string>

#include "platform/NamedThread.h"
#include "platform/PathMonitor.h"

namespace posix {
class RouteSocket;
}

namespace platform {

// Watches the kernel's routing tables over rtnetlink. The path is satisfied while a default
// route (IPv4 or IPv6) leads out through an interface that is up and has its carrier; the
// interfaces of those routes are classified by their hardware type and by what sysfs says
// of them. Reports come from a thread of its own; a failure to open the socket is logged and
// leaves the monitor silent.
class NetlinkPathMonitor final : public PathMonitor {
public:
    static constexpr const char* kSysfsNetRoot = "/sys/class/net";

    // sysfsNetRoot: where the interfaces' sysfs folders are (tests give a folder of their own).
    explicit NetlinkPathMonitor(std::string sysfsNetRoot = kSysfsNetRoot);
    ~NetlinkPathMonitor() override;
    NetlinkPathMonitor(const NetlinkPathMonitor&) = delete;
    NetlinkPathMonitor& operator=(const NetlinkPathMonitor&) = delete;

    void start(Handler handler) override;
    void cancel() override;

    // The kind of the interface `name` whose hardware type (ARPHRD_*) is arphrdType.
    static InterfaceKind interfaceKind(const std::string& sysfsNetRoot, const std::string& name, unsigned arphrdType);

private:
    void run(Handler handler);

    std::string sysfsNetRoot_;
    std::unique_ptr<posix::RouteSocket> eventSocket_;  // subscribed to link and route changes
    int wakeFd_ = -1;                                  // written by cancel() to end the thread's wait
    std::unique_ptr<NamedThread> thread_;
};

}  // namespace platform
