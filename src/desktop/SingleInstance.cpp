#include "desktop/SingleInstance.h"

#include <QSocketNotifier>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "platform/FileWriting.h"

namespace desktop {

namespace {

constexpr const char* kSocketName = "sablix.socket";
constexpr const char* kLockSuffix = ".lock";
// The running instance takes the lock a moment before it listens: a start that finds the lock
// taken tries to connect for up to a second.
constexpr int kConnectAttempts = 20;
constexpr auto kConnectPause = std::chrono::milliseconds(50);
constexpr int kSendTimeoutSeconds = 2;

std::optional<sockaddr_un> socketAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof(address.sun_path)) return std::nullopt;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

}  // namespace

SingleInstance::SingleInstance(std::filesystem::path socketPath) : socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
    while (!connections_.empty()) close(connections_.begin()->first);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socketPath_.c_str());
    }
    // The lock file stays: removing it would let a third start lock a fresh file while a second
    // one still holds the old.
    if (lockFd_ >= 0) ::close(lockFd_);
}

std::optional<std::filesystem::path> SingleInstance::defaultSocketPath() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime && *runtime && std::filesystem::is_directory(runtime))
        return std::filesystem::path(runtime) / kSocketName;
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("sablix-" + std::to_string(::getuid()));
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    struct stat info {};
    // Another user could have made the folder first, to read or answer our links.
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 077) != 0) {
        platform::appLog("SingleInstance").error("%s is not a folder private to this user", folder.c_str());
        return std::nullopt;
    }
    return folder / kSocketName;
}

SingleInstance::Claim SingleInstance::claim(const std::vector<std::string>& links) {
    const std::string lockPath = socketPath_.string() + kLockSuffix;
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        logger_.error("Cannot open %s: %s", lockPath.c_str(), std::strerror(errno));
        return Claim::Unavailable;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd_);
        lockFd_ = -1;
        if (errno != EWOULDBLOCK) {
            logger_.error("Cannot lock %s: %s", lockPath.c_str(), std::strerror(errno));
            return Claim::Unavailable;
        }
        return forward(links);
    }
    if (!listen()) return Claim::Unavailable;
    held_.insert(held_.end(), links.begin(), links.end());
    return Claim::Primary;
}

bool SingleInstance::listen() {
    const auto address = socketAddress(socketPath_);
    if (!address) {
        logger_.error("Socket path too long: %s", socketPath_.c_str());
        return false;
    }
    // Holding the lock, any socket file left here is a crashed instance's.
    ::unlink(socketPath_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) != 0 ||
        ::listen(listenFd_, SOMAXCONN) != 0) {
        logger_.error("Cannot listen on %s: %s", socketPath_.c_str(), std::strerror(errno));
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    listenNotifier_ = new QSocketNotifier(listenFd_, QSocketNotifier::Read, &notifiers_);
    QObject::connect(listenNotifier_, &QSocketNotifier::activated, &notifiers_, [this] { acceptConnections(); });
    return true;
}

SingleInstance::Claim SingleInstance::forward(const std::vector<std::string>& links) const {
    std::string message;
    for (const auto& link : links) {
        if (message.size() + link.size() + 1 > kMaxMessageBytes || link.find('\0') != std::string::npos) {
            logger_.error("Link not forwarded: too long for one message");
            continue;
        }
        message += link;
        message += '\0';
    }
    const auto address = socketAddress(socketPath_);
    if (!address) return Claim::NotForwarded;
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(kConnectPause);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        const timeval timeout{kSendTimeoutSeconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) != 0) {
            ::close(fd);
            continue;
        }
        const bool sent = platform::writeAll(fd, message);
        ::close(fd);
        if (sent) {
            logger_.info("Handed %zu link(s) to the running instance", links.size());
            return Claim::Forwarded;
        }
        break;
    }
    logger_.error("The running instance did not take the links: %s", std::strerror(errno));
    return Claim::NotForwarded;
}

void SingleInstance::acceptConnections() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        ucred peer{};
        socklen_t length = sizeof(peer);
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::getuid()) {
            logger_.error("Refused a connection from another user");
            ::close(fd);
            continue;
        }
        if (connections_.size() >= kMaxOpenConnections) {
            logger_.error("Refused a connection: %zu already open", connections_.size());
            ::close(fd);
            continue;
        }
        auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &notifiers_);
        QObject::connect(notifier, &QSocketNotifier::activated, &notifiers_, [this, fd] { readFrom(fd); });
        connections_[fd].notifier = notifier;
    }
}

void SingleInstance::readFrom(int fd) {
    auto& connection = connections_.at(fd);
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof(buffer));
        if (count > 0) {
            connection.bytes.append(buffer, static_cast<size_t>(count));
            if (connection.bytes.size() > kMaxMessageBytes) {
                logger_.error("Message from another start refused: more than %zu bytes", kMaxMessageBytes);
                close(fd);
                return;
            }
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
        break;  // the sender is done, or the connection failed
    }
    std::vector<std::string> links;
    const std::string bytes = std::move(connection.bytes);
    close(fd);
    for (size_t start = 0; start < bytes.size();) {
        const size_t end = bytes.find('\0', start);
        if (end == std::string::npos) break;  // an unfinished link is dropped
        links.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    deliver(std::move(links));
}

void SingleInstance::close(int fd) {
    const auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    // Called from the notifier's own signal: it may only go once control is back in the loop.
    found->second.notifier->setEnabled(false);
    found->second.notifier->deleteLater();
    ::close(fd);
    connections_.erase(found);
}

void SingleInstance::setReceiver(LinksReceiver receiver) {
    receiver_ = std::move(receiver);
    if (!held_.empty()) deliver(std::exchange(held_, {}));
}

void SingleInstance::deliver(std::vector<std::string> links) {
    if (links.empty()) return;
    if (!receiver_) {
        held_.insert(held_.end(), links.begin(), links.end());
        return;
    }
    receiver_(std::move(links));
}

}  // namespace desktop
