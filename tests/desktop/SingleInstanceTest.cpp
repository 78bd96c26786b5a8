#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <QTest>

#include "desktop/SingleInstance.h"
#include "platform/FileWriting.h"
#include "support/LogCapture.h"
#include "support/ModelsTestSupport.h"

using desktop::SingleInstance;

namespace {

using Links = std::vector<std::string>;

// A socket file bound at `path` whose process is gone, as a crash leaves it.
void leaveStaleSocket(const std::filesystem::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
}

void sendRaw(const std::filesystem::path& path, const std::string& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    platform::writeAll(fd, bytes);
    ::close(fd);
}

class SingleInstanceTest : public ::testing::Test {
protected:
    // The running instance, started over whatever a crashed one left at the socket's place.
    void startFirst(const Links& ownLinks) {
        ASSERT_EQ(first.claim(ownLinks), SingleInstance::Claim::Primary);
        first.setReceiver([this](Links links) { received.insert(received.end(), links.begin(), links.end()); });
    }
    bool receivedCount(size_t count) {
        return QTest::qWaitFor([&] { return received.size() >= count; }, 5000) && received.size() == count;
    }

    modelstest::TempDir dir;
    std::filesystem::path socket = dir.path() / "sablix.socket";
    SingleInstance first{socket};
    Links received;
    testsupport::LogCapture log;
};

TEST_F(SingleInstanceTest, ASecondStartHandsItsLinksToTheRunningOneOverACrashedOnesSocket) {
    leaveStaleSocket(socket);
    startFirst({"sablix://invite/own"});
    EXPECT_EQ(received, Links{"sablix://invite/own"}) << "the first start's own links reach the receiver";

    {
        SingleInstance second(socket);
        EXPECT_EQ(second.claim({"sablix://install/a", "sablix://invite/b"}), SingleInstance::Claim::Forwarded);
    }
    ASSERT_TRUE(receivedCount(3));
    EXPECT_EQ(received, Links({"sablix://invite/own", "sablix://install/a", "sablix://invite/b"}));

    // The second start is gone; the next one still finds the first running.
    SingleInstance third(socket);
    EXPECT_EQ(third.claim({}), SingleInstance::Claim::Forwarded);
}

TEST_F(SingleInstanceTest, RefusesAnOversizedMessageWholeAndKeepsListening) {
    startFirst({});
    sendRaw(socket, std::string(SingleInstance::kMaxMessageBytes, 'a') + '\0');
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return log.has("SingleInstance", "Message from another start refused: more than 65536 bytes"); }, 5000));

    SingleInstance next(socket);
    EXPECT_EQ(next.claim({"sablix://install/a"}), SingleInstance::Claim::Forwarded);
    ASSERT_TRUE(receivedCount(1));
    EXPECT_EQ(received, Links{"sablix://install/a"});
}

}  // namespace
