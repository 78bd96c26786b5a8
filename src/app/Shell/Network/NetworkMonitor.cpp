#include "Shell/Network/NetworkMonitor.h"

namespace sablix {

NetworkMonitor::NetworkMonitor(std::unique_ptr<platform::PathMonitor> monitor, platform::Executor& mainQueue,
                               QObject* parent)
    : QObject(parent), monitor_(std::move(monitor)), mainQueue_(mainQueue) {
    startMonitoring();
}

NetworkMonitor::~NetworkMonitor() { stopMonitoring(); }

void NetworkMonitor::startMonitoring() {
    // Made here, on the main thread; the monitor's thread only copies it.
    monitor_->start(
        [&mainQueue = mainQueue_, self = QPointer<NetworkMonitor>(this)](const platform::NetworkPath& path) {
            // Runs on the monitor's thread; the monitor may be gone by the time the main thread
            // gets to the update, which is then dropped.
            mainQueue.async([self, path] {
                if (self) self->updateConnectionStatus(path);
            });
        });
}

void NetworkMonitor::stopMonitoring() { monitor_->cancel(); }

void NetworkMonitor::updateConnectionStatus(const platform::NetworkPath& path) {
    const bool wasConnected = isConnected_;

    isConnected_ = path.satisfied;
    emit isConnectedChanged(isConnected_);
    isExpensive_ = path.isExpensive;
    emit isExpensiveChanged(isExpensive_);
    isConstrained_ = path.isConstrained;
    emit isConstrainedChanged(isConstrained_);

    using platform::InterfaceKind;
    ConnectionType type = ConnectionType::unknown;
    if (path.uses(InterfaceKind::wifi))
        type = ConnectionType::wifi;
    else if (path.uses(InterfaceKind::cellular))
        type = ConnectionType::cellular;
    else if (path.uses(InterfaceKind::wired))
        type = ConnectionType::wired;
    else if (path.uses(InterfaceKind::loopback))
        type = ConnectionType::loopback;
    connectionType_ = type;
    emit connectionTypeChanged(type);
    isWiFi_ = type == ConnectionType::wifi;
    emit isWiFiChanged(isWiFi_);

    if (isConnected_ != wasConnected) emit networkConnectivityChanged(isConnected_);
}

}  // namespace sablix
