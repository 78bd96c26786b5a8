#pragma once
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QObject>

#include "platform/Log.h"

class QSocketNotifier;
class QTimer;

namespace desktop {

// Reads one start's message as it arrives: its links, each ended by a NUL byte, and then one
// more NUL byte, which ends the message (a start with no links sends that byte alone).
class LinkMessageReader {
public:
    enum class State { Unfinished, Complete, TooLarge };

    explicit LinkMessageReader(size_t maxBytes) : maxBytes_(maxBytes) {}

    // Takes the next bytes; anything after the end of the message is ignored.
    State add(std::string_view bytes);
    std::vector<std::string> takeLinks() { return std::move(links_); }

private:
    const size_t maxBytes_;
    std::string pending_;  // the unfinished link
    size_t received_ = 0;
    std::vector<std::string> links_;
    State state_ = State::Unfinished;
};

// One running application per user. The first start holds a lock file and listens on a local
// socket beside it; a later start sends its links there and ends once the running one has
// acknowledged them. The lock dies with its process, so the socket a crashed instance left behind
// is taken over by the next first start.
// Lives on the main thread.
class SingleInstance {
public:
    // One start's message; a larger one is refused whole.
    static constexpr size_t kMaxMessageBytes = 64 * 1024;
    // More connections wait in the socket's backlog until one of these is done.
    static constexpr size_t kMaxOpenConnections = 32;
    // A connection that has not sent its whole message by then is dropped.
    static constexpr std::chrono::milliseconds kMessageTimeout{2000};
    // How long a later start waits for the running one to acknowledge its message. Generous:
    // the running one reads only once its event loop runs, after its window has loaded.
    static constexpr std::chrono::seconds kAcknowledgementTimeout{10};

    enum class Claim {
        Primary,       // this process is the running instance
        Forwarded,     // another instance runs and acknowledged every link: end with success
        NotForwarded,  // another instance runs but did not take the links
        Unavailable,   // no socket could be set up: run without the single-instance guard
    };
    // Gets the links of one later start; none when that start asks only to see the application.
    using LinksReceiver = std::function<void(std::vector<std::string> links)>;

    explicit SingleInstance(std::filesystem::path socketPath);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // "sablix.socket" in $XDG_RUNTIME_DIR, or else in a folder of /tmp private to this user;
    // nothing when that folder exists but is not ours alone. A path too long for a socket
    // address is served under a name derived from it in the abstract namespace.
    static std::optional<std::filesystem::path> defaultSocketPath();

    // Becomes the running instance, keeping `links` for the receiver, or hands them to the one
    // that runs.
    Claim claim(const std::vector<std::string>& links);
    // Gets the links of later starts, and first those this start was given.
    void setReceiver(LinksReceiver receiver);

private:
    struct Connection {
        QSocketNotifier* notifier = nullptr;
        QTimer* deadline = nullptr;
        LinkMessageReader message{kMaxMessageBytes};
    };

    bool listen();
    Claim forward(const std::vector<std::string>& links) const;
    void acceptConnections();
    void readFrom(int fd);
    void dropUnfinished(int fd);
    void complete(int fd);
    void close(int fd);

    // Parent and connection context of the socket notifiers and timers.
    QObject notifiers_;
    const std::filesystem::path socketPath_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    bool boundToFile_ = false;
    QSocketNotifier* listenNotifier_ = nullptr;
    std::map<int, Connection> connections_;
    std::vector<std::string> held_;
    LinksReceiver receiver_;
    platform::Log logger_ = platform::appLog("SingleInstance");
};

}  // namespace desktop
