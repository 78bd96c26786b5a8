#include "desktop/SingleInstance.h"
#include "posix/LogText.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace desktop {

namespace {

constexpr const char* kSocketName = "sablix.socket";
constexpr const char* kLockSuffix = ".lock";
constexpr const char* kAbstractNamePrefix = "sablix-";
// The running instance takes the lock a moment before it listens: a start that finds the lock
// taken tries to connect for up to a second.
constexpr int kConnectAttempts = 20;
constexpr auto kConnectPause = std::chrono::milliseconds(50);
constexpr int kSendTimeoutSeconds = 2;
// The running instance's answer once it holds a start's whole message.
constexpr char kAcknowledgement = 0x06;
constexpr char kEndOfRecord = '\0';

struct SocketAddress {
    sockaddr_un address{};
    socklen_t length = 0;
    bool inFileSystem = true;
};

// 64-bit FNV-1a: a stable name for a path, the same in every start.
uint64_t fingerprint(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

// The socket file itself, or, where its path does not fit an address (107 bytes), a name in
// Linux's abstract namespace made from the path: the guard must not depend on how deep the
// runtime folder lies.
SocketAddress socketAddress(const std::filesystem::path& path) {
    SocketAddress result;
    result.address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() < sizeof(result.address.sun_path)) {
        std::memcpy(result.address.sun_path, text.c_str(), text.size() + 1);
        result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
        return result;
    }
    char name[64];
    const int size = std::snprintf(name, sizeof(name), "%s%u-%016llx", kAbstractNamePrefix, ::getuid(),
                                   static_cast<unsigned long long>(fingerprint(text)));
    result.inFileSystem = false;
    result.address.sun_path[0] = '\0';
    std::memcpy(result.address.sun_path + 1, name, static_cast<size_t>(size));
    result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(size));
    return result;
}

bool peerIsThisUser(int fd) {
    ucred peer{};
    socklen_t length = sizeof(peer);
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::getuid();
}

// A peer that went away must not end this process with SIGPIPE.
bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

bool receiveAcknowledgement(int fd) {
    char answer = 0;
    ssize_t count;
    do count = ::recv(fd, &answer, 1, 0);
    while (count < 0 && errno == EINTR);
    if (count == 0) errno = ECONNRESET;
    if (count == 1 && answer != kAcknowledgement) errno = EPROTO;
    return count == 1 && answer == kAcknowledgement;
}

}  // namespace

LinkMessageReader::State LinkMessageReader::add(std::string_view bytes) {
    while (state_ == State::Unfinished && !bytes.empty()) {
        const size_t end = bytes.find(kEndOfRecord);
        const size_t taken = end == std::string_view::npos ? bytes.size() : end + 1;
        if (taken > maxBytes_ - received_) return state_ = State::TooLarge;
        received_ += taken;
        if (end == std::string_view::npos) {
            pending_.append(bytes);
            break;
        }
        pending_.append(bytes.substr(0, end));
        bytes.remove_prefix(taken);
        if (pending_.empty()) return state_ = State::Complete;
        links_.push_back(std::exchange(pending_, {}));
    }
    return state_;
}

SingleInstance::SingleInstance(std::filesystem::path socketPath) : socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
    while (!connections_.empty()) close(connections_.begin()->first);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        if (boundToFile_) ::unlink(socketPath_.c_str());
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
        platform::appLog("SingleInstance")
            .error("%s is not a folder private to this user", posix::escapedForLog(folder.string()).c_str());
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
    const SocketAddress address = socketAddress(socketPath_);
    if (!address.inFileSystem)
        logger_.info("Socket path longer than an address holds; listening under @%s", address.address.sun_path + 1);
    // Holding the lock, any socket file left here is a crashed instance's.
    if (address.inFileSystem) ::unlink(socketPath_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0 ||
        ::listen(listenFd_, SOMAXCONN) != 0) {
        logger_.error("Cannot listen on %s: %s", socketPath_.c_str(), std::strerror(errno));
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    boundToFile_ = address.inFileSystem;
    listenNotifier_ = new QSocketNotifier(listenFd_, QSocketNotifier::Read, &notifiers_);
    QObject::connect(listenNotifier_, &QSocketNotifier::activated, &notifiers_, [this] { acceptConnections(); });
    return true;
}

SingleInstance::Claim SingleInstance::forward(const std::vector<std::string>& links) const {
    std::string message;
    size_t refused = 0;
    for (const auto& link : links) {
        // The message ends with one more NUL byte.
        if (link.empty() || link.find(kEndOfRecord) != std::string::npos ||
            message.size() + link.size() + 2 > kMaxMessageBytes) {
            logger_.error("Link not forwarded: empty, holding a NUL byte or too long for one message");
            ++refused;
            continue;
        }
        message += link;
        message += kEndOfRecord;
    }
    message += kEndOfRecord;

    const SocketAddress address = socketAddress(socketPath_);
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(kConnectPause);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        const timeval sendTimeout{kSendTimeoutSeconds, 0};
        const timeval answerTimeout{static_cast<time_t>(kAcknowledgementTimeout.count()), 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &answerTimeout, sizeof(answerTimeout));
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0) {
            ::close(fd);
            continue;
        }
        // An abstract name is open to every user: only our own running instance gets the links.
        if (!peerIsThisUser(fd)) {
            ::close(fd);
            logger_.error("The socket of the running instance belongs to another user");
            return Claim::NotForwarded;
        }
        const bool delivered = sendAll(fd, message) && receiveAcknowledgement(fd);
        const int reason = errno;
        ::close(fd);
        if (!delivered) {
            logger_.error("The running instance did not acknowledge the links: %s",
                          reason == EAGAIN ? "no answer in time" : std::strerror(reason));
            return Claim::NotForwarded;
        }
        logger_.info("Handed %zu link(s) to the running instance", links.size() - refused);
        return refused == 0 ? Claim::Forwarded : Claim::NotForwarded;
    }
    logger_.error("The running instance could not be reached: %s", std::strerror(errno));
    return Claim::NotForwarded;
}

void SingleInstance::acceptConnections() {
    while (connections_.size() < kMaxOpenConnections) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        if (!peerIsThisUser(fd)) {
            logger_.error("Refused a connection from another user");
            ::close(fd);
            continue;
        }
        Connection& connection = connections_[fd];
        connection.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &notifiers_);
        QObject::connect(connection.notifier, &QSocketNotifier::activated, &notifiers_, [this, fd] { readFrom(fd); });
        connection.deadline = new QTimer(&notifiers_);
        connection.deadline->setSingleShot(true);
        QObject::connect(connection.deadline, &QTimer::timeout, &notifiers_, [this, fd] { dropUnfinished(fd); });
        connection.deadline->start(kMessageTimeout);
    }
    // Full: the rest wait in the backlog until a connection is done.
    listenNotifier_->setEnabled(false);
}

void SingleInstance::readFrom(int fd) {
    const auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    LinkMessageReader& message = found->second.message;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof(buffer));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno == EAGAIN) return;
        if (count <= 0) {
            logger_.info("A start closed its connection before its message was whole");
            close(fd);
            return;
        }
        switch (message.add(std::string_view(buffer, static_cast<size_t>(count)))) {
        case LinkMessageReader::State::Unfinished: continue;
        case LinkMessageReader::State::Complete: complete(fd); return;
        case LinkMessageReader::State::TooLarge:
            logger_.error("Message from another start refused: more than %zu bytes", kMaxMessageBytes);
            close(fd);
            return;
        }
    }
}

void SingleInstance::dropUnfinished(int fd) {
    logger_.error("Dropped a connection that did not finish its message within %lld ms",
                  static_cast<long long>(kMessageTimeout.count()));
    close(fd);
}

void SingleInstance::complete(int fd) {
    std::vector<std::string> links = connections_.at(fd).message.takeLinks();
    // The sender reports success only on this answer; one that has given up by now has told its
    // user the links were not delivered, so they are not opened either.
    const bool acknowledged = ::send(fd, &kAcknowledgement, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1;
    close(fd);
    if (!acknowledged) {
        logger_.error("A start gave up before its links were taken: %s", std::strerror(errno));
        return;
    }
    if (!receiver_) {
        held_.insert(held_.end(), links.begin(), links.end());
        return;
    }
    receiver_(std::move(links));
}

void SingleInstance::close(int fd) {
    const auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    // Called from the notifier's or the timer's own signal: they may only go once control is back
    // in the loop.
    found->second.notifier->setEnabled(false);
    found->second.notifier->deleteLater();
    found->second.deadline->stop();
    found->second.deadline->deleteLater();
    ::close(fd);
    connections_.erase(found);
    // Connections waiting in the backlog are taken on the loop's next turn.
    if (listenNotifier_) listenNotifier_->setEnabled(true);
}

void SingleInstance::setReceiver(LinksReceiver receiver) {
    receiver_ = std::move(receiver);
    if (receiver_ && !held_.empty()) receiver_(std::exchange(held_, {}));
}

}  // namespace desktop
