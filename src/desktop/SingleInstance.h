#pragma once
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QObject>

#include "platform/Log.h"

class QSocketNotifier;

namespace desktop {

// One running application per user. The first start holds a lock file and listens on a local
// socket beside it; a later start sends its links there and ends. The lock dies with its process,
// so the socket a crashed instance left behind is taken over by the next first start.
// Lives on the main thread.
class SingleInstance {
public:
    // One start's links, each ended by a NUL byte; a larger message is refused whole.
    static constexpr size_t kMaxMessageBytes = 64 * 1024;
    static constexpr size_t kMaxOpenConnections = 8;

    enum class Claim {
        Primary,       // this process is the running instance
        Forwarded,     // another instance runs and has the links: end with success
        NotForwarded,  // another instance runs but could not be reached
        Unavailable,   // no socket could be set up: run without the single-instance guard
    };
    using LinksReceiver = std::function<void(std::vector<std::string> links)>;

    explicit SingleInstance(std::filesystem::path socketPath);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // "sablix.socket" in $XDG_RUNTIME_DIR, or else in a folder of /tmp private to this user;
    // nothing when that folder exists but is not ours alone.
    static std::optional<std::filesystem::path> defaultSocketPath();

    // Becomes the running instance, keeping `links` for the receiver, or hands them to the one
    // that runs.
    Claim claim(const std::vector<std::string>& links);
    // Gets the links of later starts, and first those that arrived before it was set.
    void setReceiver(LinksReceiver receiver);

private:
    struct Connection {
        QSocketNotifier* notifier = nullptr;
        std::string bytes;
    };

    bool listen();
    Claim forward(const std::vector<std::string>& links) const;
    void acceptConnections();
    void readFrom(int fd);
    void close(int fd);
    void deliver(std::vector<std::string> links);

    // Parent and connection context of the socket notifiers.
    QObject notifiers_;
    const std::filesystem::path socketPath_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    QSocketNotifier* listenNotifier_ = nullptr;
    std::map<int, Connection> connections_;
    std::vector<std::string> held_;
    LinksReceiver receiver_;
    platform::Log logger_ = platform::appLog("SingleInstance");
};

}  // namespace desktop
