#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "orbit/Queue/OrbitDispatchQueue.h"
#include "orbit/Utils/OrbitMulticastCallback.h"

namespace orbit {

// The reachability flags the client reads (the bits keep their customary values).
namespace ReachabilityFlag {
inline constexpr uint32_t transientConnection = 0x1;
inline constexpr uint32_t reachable = 0x2;
inline constexpr uint32_t connectionRequired = 0x4;
inline constexpr uint32_t connectionOnTraffic = 0x8;
inline constexpr uint32_t interventionRequired = 0x10;
inline constexpr uint32_t connectionOnDemand = 0x20;
inline constexpr uint32_t isLocalAddress = 0x10000;
inline constexpr uint32_t isDirect = 0x20000;
}  // namespace ReachabilityFlag

// Where the flags come from. readFlags may be called from any thread; watch calls changed (on a
// thread of the source's own) whenever the flags may have changed, until unwatch.
class ReachabilityFlagsSource {
public:
    virtual ~ReachabilityFlagsSource() = default;
    // Nothing, and the reason in error, when they cannot be read.
    virtual std::optional<uint32_t> readFlags(std::string* error) = 0;
    virtual bool watch(std::function<void()> changed, std::string* error) = 0;
    virtual void unwatch() = 0;
};

// The network namespace's own view through rtnetlink: reachable while a default route (IPv4 or
// IPv6) leads out of an interface that is up and running. Changes of links, addresses and routes
// wake the watch.
class RtnetlinkFlagsSource : public ReachabilityFlagsSource {
public:
    RtnetlinkFlagsSource() = default;
    ~RtnetlinkFlagsSource() override;
    std::optional<uint32_t> readFlags(std::string* error) override;
    bool watch(std::function<void()> changed, std::string* error) override;
    void unwatch() override;

private:
    std::mutex lock_;
    std::thread thread_;
    int stopFd_ = -1;
};

enum class ReachabilityError {
    failedToCreateWithAddress,
    unableToSetCallback,
    unableToSetDispatchQueue,
    unableToGetFlags
};

// Whether the network can be reached at all, and an announcement on every change: onReachable or
// onUnreachable, on the notification queue (the host's main queue), or at once without one. One
// instance serves all queues of a client; any thread may read connection.
class Reachability {
public:
    enum class Connection { unavailable, wifi, cellular };

    Reachability(std::unique_ptr<ReachabilityFlagsSource> source, OrbitExecutor notificationQueue);
    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    // Nothing when the watch runs (or already ran); the error otherwise, the watch then stopped.
    std::optional<ReachabilityError> startNotifier();
    void stopNotifier();
    bool notifierRunning() const { return notifierRunning_; }
    Connection connection();

    // The flags as ten characters, e.g. "-R -------d"; "unavailable flags" before any read.
    std::string description() const;
    static Connection connectionFor(uint32_t flags);
    static std::string describeFlags(uint32_t flags);

    OrbitMulticastCallback<Reachability&> onReachable;
    OrbitMulticastCallback<Reachability&> onUnreachable;

private:
    struct Alive {
        std::mutex lock;
        Reachability* owner;
    };
    bool setReachabilityFlags(std::string* error);
    void store(uint32_t flags);
    void announce();

    std::unique_ptr<ReachabilityFlagsSource> source_;
    OrbitExecutor notificationQueue_;
    std::mutex startLock_;
    std::atomic<bool> notifierRunning_{false};
    std::mutex readLock_;  // one flags read at a time, so stored flags follow the reads in order
    static constexpr int64_t kAbsent = -1;
    std::atomic<int64_t> flags_{kAbsent};
    std::shared_ptr<Alive> alive_;
};

}  // namespace orbit
