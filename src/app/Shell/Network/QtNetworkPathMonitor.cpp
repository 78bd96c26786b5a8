#include "Shell/Network/QtNetworkPathMonitor.h"

#include <QNetworkInformation>

namespace sablix {

std::unique_ptr<QtNetworkPathMonitor> QtNetworkPathMonitor::load() {
    using Feature = QNetworkInformation::Feature;
    // A backend that only knows reachability would leave every path without an interface kind.
    if (!QNetworkInformation::loadBackendByFeatures(Feature::Reachability | Feature::TransportMedium)) return nullptr;
    return std::unique_ptr<QtNetworkPathMonitor>(new QtNetworkPathMonitor(*QNetworkInformation::instance()));
}

QtNetworkPathMonitor::QtNetworkPathMonitor(QNetworkInformation& information) : information_(information) {}

QtNetworkPathMonitor::~QtNetworkPathMonitor() { cancel(); }

void QtNetworkPathMonitor::start(Handler handler) {
    handler_ = std::move(handler);
    auto changed = [this] { report(); };
    reachabilityConnection_ = QObject::connect(&information_, &QNetworkInformation::reachabilityChanged, changed);
    mediumConnection_ = QObject::connect(&information_, &QNetworkInformation::transportMediumChanged, changed);
    meteredConnection_ = QObject::connect(&information_, &QNetworkInformation::isMeteredChanged, changed);
    report();
}

void QtNetworkPathMonitor::cancel() {
    QObject::disconnect(reachabilityConnection_);
    QObject::disconnect(mediumConnection_);
    QObject::disconnect(meteredConnection_);
    handler_ = nullptr;
}

void QtNetworkPathMonitor::report() {
    using Reachability = QNetworkInformation::Reachability;
    const Reachability reachability = information_.reachability();
    // Until the backend knows, the monitor's own initial values stand.
    if (!handler_ || reachability == Reachability::Unknown) return;

    platform::NetworkPath path;
    // Local reachability means no default route; a captive portal (Site) still has one.
    path.satisfied = reachability == Reachability::Site || reachability == Reachability::Online;
    switch (information_.transportMedium()) {
    case QNetworkInformation::TransportMedium::WiFi: path.interfaces = {platform::InterfaceKind::wifi}; break;
    case QNetworkInformation::TransportMedium::Cellular: path.interfaces = {platform::InterfaceKind::cellular}; break;
    case QNetworkInformation::TransportMedium::Ethernet: path.interfaces = {platform::InterfaceKind::wired}; break;
    case QNetworkInformation::TransportMedium::Bluetooth: path.interfaces = {platform::InterfaceKind::other}; break;
    case QNetworkInformation::TransportMedium::Unknown: break;
    }
    path.isExpensive = information_.isMetered();
    handler_(path);
}

}  // namespace sablix
