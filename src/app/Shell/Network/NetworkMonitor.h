#pragma once
#include <QObject>
#include <QPointer>
#include <atomic>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/DispatchQueue.h"
#include "platform/EnumTable.h"
#include "platform/PathMonitor.h"

namespace sablix {

// Whether the machine is online and over what kind of link, for the team sync. Updates come
// from a path monitor on its own thread and are published on the main thread; the connectivity
// signal fires only when isConnected flips. Other threads may read the flags without a lock
// and see the last value the main thread wrote.
class NetworkMonitor : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(bool isWiFi READ isWiFi NOTIFY isWiFiChanged)
    Q_PROPERTY(bool isExpensive READ isExpensive NOTIFY isExpensiveChanged)
    Q_PROPERTY(bool isConstrained READ isConstrained NOTIFY isConstrainedChanged)
    Q_PROPERTY(ConnectionType connectionType READ connectionType NOTIFY connectionTypeChanged)

public:
    enum class ConnectionType { wifi, cellular, wired, loopback, unknown };
    Q_ENUM(ConnectionType)

    static constexpr platform::EnumTable<ConnectionType, 5> kConnectionTypes{{
        {ConnectionType::wifi, "WiFi"},
        {ConnectionType::cellular, "Cellular"},
        {ConnectionType::wired, "Wired"},
        {ConnectionType::loopback, "Loopback"},
        {ConnectionType::unknown, "Unknown"},
    }};
    static std::string_view rawValue(ConnectionType type) { return kConnectionTypes.raw(type); }
    static std::optional<ConnectionType> connectionType(std::string_view rawValue) {
        return kConnectionTypes.parse(rawValue);
    }

    // Starts monitoring at once; mainQueue runs the updates on the main thread. Construct on
    // the main thread.
    NetworkMonitor(std::unique_ptr<platform::PathMonitor> monitor, platform::Executor& mainQueue,
                   QObject* parent = nullptr);
    ~NetworkMonitor() override;

    bool isConnected() const { return isConnected_; }
    bool isWiFi() const { return isWiFi_; }
    bool isExpensive() const { return isExpensive_; }
    bool isConstrained() const { return isConstrained_; }
    ConnectionType connectionType() const { return connectionType_; }

signals:
    // Every update assigns, and so announces, all five values, changed or not.
    void isConnectedChanged(bool isConnected);
    void isWiFiChanged(bool isWiFi);
    void isExpensiveChanged(bool isExpensive);
    void isConstrainedChanged(bool isConstrained);
    void connectionTypeChanged(sablix::NetworkMonitor::ConnectionType connectionType);

    // Only when isConnected flips.
    void networkConnectivityChanged(bool isConnected);

private:
    void startMonitoring();
    void stopMonitoring();
    void updateConnectionStatus(const platform::NetworkPath& path);

    // Written on the main thread only; atomic so that the sync code may read from elsewhere.
    std::atomic<bool> isConnected_ = true;
    std::atomic<bool> isWiFi_ = true;
    std::atomic<bool> isExpensive_ = false;
    std::atomic<bool> isConstrained_ = false;
    std::atomic<ConnectionType> connectionType_ = ConnectionType::unknown;

    std::unique_ptr<platform::PathMonitor> monitor_;
    platform::Executor& mainQueue_;
};

}  // namespace sablix
