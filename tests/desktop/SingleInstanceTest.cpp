#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <QTest>

#include "desktop/SingleInstance.h"
#include "posix/FileWriting.h"
#include "support/LogCapture.h"
#include "support/ModelsTestSupport.h"

using desktop::SingleInstance;
using Links = std::vector<std::string>;

namespace {

// A socket at `path`, bound and then left as a crashed start leaves it (no process behind it),
// or connected to the running one and sent `bytes`.
void socketAt(const std::filesystem::path& path, const std::optional<std::string>& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    if (!bytes) {
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    } else {
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        posix::writeAll(fd, *bytes);
    }
    ::close(fd);
}

// A later start, on a thread of its own: it waits for the answer that this thread's event loop,
// running the first start, gives.
SingleInstance::Claim claimAsLaterStart(const std::filesystem::path& path, const Links& links) {
    auto claimed = std::async(std::launch::async, [&] { return SingleInstance(path).claim(links); });
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return claimed.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 15000));
    return claimed.get();
}

}  // namespace

TEST(SingleInstanceTest, LaterStartsHandTheirLinksToTheRunningOneOverACrashedOnesSocket) {
    modelstest::TempDir dir;
    const auto socket = dir.path() / "sablix.socket";
    testsupport::LogCapture log;
    socketAt(socket, std::nullopt);
    Links received;
    SingleInstance first(socket);
    ASSERT_EQ(first.claim({"sablix://invite/own"}), SingleInstance::Claim::Primary);
    first.setReceiver([&](Links links) { received.insert(received.end(), links.begin(), links.end()); });
    EXPECT_EQ(received, Links{"sablix://invite/own"}) << "the first start's own links reach the receiver";

    // A message too large is refused whole, and the running one keeps listening.
    socketAt(socket, std::string(SingleInstance::kMaxMessageBytes, 'a') + '\0');
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return log.has("SingleInstance", "Message from another start refused: more than 65536 bytes"); }, 5000));

    EXPECT_EQ(claimAsLaterStart(socket, {"sablix://install/a", "sablix://invite/b"}), SingleInstance::Claim::Forwarded);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() >= 3; }, 5000));
    EXPECT_EQ(received, Links({"sablix://invite/own", "sablix://install/a", "sablix://invite/b"}));
    // The second start is gone; the next one still finds the first running.
    EXPECT_EQ(claimAsLaterStart(socket, {}), SingleInstance::Claim::Forwarded);
    EXPECT_EQ(received.size(), 3u);
}
