#include "Shell/Network/SystemPathMonitor.h"

#include "Shell/Network/QtNetworkPathMonitor.h"
#include "platform/Log.h"
#include "platform/NetlinkPathMonitor.h"

namespace sablix {

std::unique_ptr<platform::PathMonitor> makeSystemPathMonitor() {
    const platform::Log log = platform::appLog("NetworkMonitor");
    if (auto monitor = QtNetworkPathMonitor::load()) {
        log.info("Watching the network through Qt's network-information backend");
        return monitor;
    }
    log.info("No network-information backend loads; watching the routing tables over rtnetlink");
    return std::make_unique<platform::NetlinkPathMonitor>();
}

}  // namespace sablix
