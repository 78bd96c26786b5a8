#pragma once
#include <QMetaObject>
#include <memory>

#include "platform/PathMonitor.h"

class QNetworkInformation;

namespace sablix {

// Network paths from Qt's network-information backend (the desktop's network manager). Reports
// come on the main thread, where the backend lives.
class QtNetworkPathMonitor final : public platform::PathMonitor {
public:
    // A monitor over the backend, or none when no backend that tells both reachability and the
    // transport medium loads (no network manager on the bus: containers, CI).
    static std::unique_ptr<QtNetworkPathMonitor> load();
    ~QtNetworkPathMonitor() override;

    void start(Handler handler) override;
    void cancel() override;

private:
    explicit QtNetworkPathMonitor(QNetworkInformation& information);
    void report();

    QNetworkInformation& information_;
    Handler handler_;
    QMetaObject::Connection reachabilityConnection_;
    QMetaObject::Connection mediumConnection_;
    QMetaObject::Connection meteredConnection_;
};

}  // namespace sablix
