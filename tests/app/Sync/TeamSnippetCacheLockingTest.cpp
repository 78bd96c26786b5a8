#include <chrono>
#include <csignal>
#include <set>
#include <thread>

#include <poll.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TeamDbFixture.h"
#include "platform/Clock.h"

namespace sablix::teamdb {
namespace {

// Dates the records these tests make.
const platform::FakeClock kClock;

using platform::Uuid;

// Queued operation number n of the writer below, so that the reader knows which ids to expect.
Uuid numberedId(uint32_t n) {
    Uuid::Bytes bytes{};
    bytes[6] = 0x40;
    bytes[8] = 0x80;
    for (int k = 0; k < 4; ++k) bytes[12 + k] = static_cast<uint8_t>(n >> (24 - 8 * k));
    return Uuid(bytes);
}

SyncOperation numberedOperation(uint32_t n) {
    const std::string payload =
        "{\"snippetTitle\":\"t" + std::to_string(n) + "\",\"snippet\":\"" + std::string(200, 'x') + "\"}";
    const auto queuedAt = platform::Date::fromUnix(1700000000.0 + n);
    return {.id = numberedId(n),
            .entityId = Uuid::generate(),
            .payload = payload,
            .teamId = std::nullopt,
            .createdAt = queuedAt,
            .lastError = std::nullopt,
            .userId = std::nullopt};
}

bool waitForFile(const std::filesystem::path& file) {
    for (int i = 0; i < 2000 && !std::filesystem::exists(file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return std::filesystem::exists(file);
}

using TeamSnippetCacheLockingTest = TeamDbTest;

TEST_F(TeamSnippetCacheLockingTest, EnqueueWaitsOutAnotherProcessesWriteLock) {
    TeamSnippetCache cache(databasePath());
    cache.open();
    const auto marker = folder() / "locked";
    const Uuid shellOperation = numberedId(1);
    // The shell takes the write lock, queues a row, signals, holds the lock for a second, commits.
    testsupport::ChildProcess holder({"sqlite3", databasePath().string(), "BEGIN IMMEDIATE;",
                                      "insert into sync_operations (id, entity_type, entity_id, operation, payload, "
                                      "created_at) values ('" +
                                          shellOperation.toString() + "', 'snippet', '" + Uuid::generate().toString() +
                                          "', 'create', '{}', '2024-01-01T00:00:00Z');",
                                      ".shell touch '" + marker.string() + "'", ".shell sleep 1", "COMMIT;"});
    ASSERT_TRUE(waitForFile(marker));

    SyncOperation mine = numberedOperation(2);
    mine.createdAt = at("2024-01-01T00:00:00Z");
    ASSERT_NO_THROW(cache.enqueueSyncOperation(mine));
    EXPECT_EQ(holder.wait(10000), 0);
    const auto queue = cache.getPendingSyncOperations();
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue[0].id, shellOperation);  // the shell's row was committed first
    EXPECT_EQ(queue[1], mine);
}

TEST_F(TeamSnippetCacheLockingTest, AReadThatCannotGetTheLockFailsInsteadOfReturningTooLittle) {
    TeamSnippetCache cache(databasePath());
    cache.open();
    const Uuid team = Uuid::generate();
    cache.saveSnippet(snippet("addr", team), SyncMetadata::newLocal(kClock));

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(databasePath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE; DELETE FROM team_snippets;", nullptr, nullptr, nullptr), SQLITE_OK);
    try {
        cache.getSnippets(team, false);  // waits out the busy timeout, a few seconds
        ADD_FAILURE() << "a locked read returned a list";
    } catch (const TeamSnippetCacheError& error) {
        EXPECT_EQ(error.kind(), TeamSnippetCacheError::Kind::executeFailed);
        EXPECT_EQ(error.message(), "database is locked");
    }
    sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(cache.getSnippets(team, false).size(), 1u);
}

// A child process queues operations as fast as it can and reports each one whose enqueue
// returned; it is killed at an arbitrary moment. Whatever it reported must be there, intact.
TEST_F(TeamSnippetCacheLockingTest, AWriterKilledWhileQueueingLosesNothingThatReturned) {
    TeamSnippetCache(databasePath()).open();
    std::set<Uuid> reported;
    for (int round = 0; round < 3; ++round) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            TeamSnippetCache writer(databasePath());
            writer.open();
            for (uint32_t n = 1; n < 20000; ++n) {
                const uint32_t number = static_cast<uint32_t>(round) * 100000 + n;
                writer.enqueueSyncOperation(numberedOperation(number));
                if (write(fds[1], &number, sizeof number) != sizeof number) _exit(2);
            }
            _exit(0);
        }
        close(fds[1]);
        const size_t wanted = 40 + static_cast<size_t>(round) * 37;
        size_t count = 0;
        bool killed = false;
        while (true) {
            pollfd pfd{fds[0], POLLIN, 0};
            if (poll(&pfd, 1, 20000) <= 0) break;
            uint32_t number;
            const ssize_t n = read(fds[0], &number, sizeof number);
            if (n != static_cast<ssize_t>(sizeof number)) break;  // the writer is gone
            reported.insert(numberedId(number));
            if (++count == wanted && !killed) {
                kill(pid, SIGKILL);
                killed = true;
            }
        }
        close(fds[0]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "round " << round;
        EXPECT_GE(count, wanted);
    }

    EXPECT_EQ(shell("pragma integrity_check"), "ok\n");
    TeamSnippetCache reader(databasePath());
    reader.open();
    std::set<Uuid> stored;
    for (const auto& op : reader.getPendingSyncOperations()) {
        stored.insert(op.id);
        EXPECT_EQ(nlohmann::json::parse(op.payload).at("snippet"), std::string(200, 'x'));
    }
    for (const auto& id : reported) EXPECT_TRUE(stored.count(id)) << id.toString() << " was lost";
}

}  // namespace
}  // namespace sablix::teamdb
