#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <random>
#include <sched.h>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "OrbitTestSupport.h"
#include "orbit/Network/Reachability.h"
#include "orbit/OrbitApi.h"
#include "orbit/Queue/OrbitQueue.h"
#include "orbit/Queue/OrbitReplayQueue.h"
#include "orbit/Utils/JSONUtils.h"
#include "servers/IngestServer.h"

namespace fs = std::filesystem;
using orbit::OrbitEvent;
using orbit::OrbitQueue;
using testservers::IngestAnswer;
using testservers::IngestServer;

namespace {

// A temporary folder of the test's own.
struct TempFolder {
    fs::path path;
    TempFolder() {
        char pattern[] = "/tmp/orbit-queue-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// A clock the test moves by hand.
struct FakeClock {
    std::shared_ptr<std::atomic<int64_t>> micros = std::make_shared<std::atomic<int64_t>>(1'700'000'000'000'000);
    orbit::Now now() const {
        return [m = micros] { return orbit::OrbitDate(std::chrono::microseconds(m->load())); };
    }
    void advance(double seconds) { *micros += static_cast<int64_t>(seconds * 1e6); }
};

OrbitEvent event(const std::string& name) {
    return OrbitEvent(name, "user-1", nlohmann::json::object(), orbit::systemNow(), orbit::Uuid::v7());
}

std::vector<std::string> recordFiles(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (!entry.path().filename().string().starts_with(".")) names.push_back(entry.path().filename().string());
    return names;
}

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (predicate()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return predicate();
}

class OrbitQueueTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    std::shared_ptr<orbit::OrbitConfig> makeConfig() {
        auto config = std::make_shared<orbit::OrbitConfig>("phc_token", server.baseURL());
        config->flushAt = 1000;
        return config;
    }
    size_t requestsTo(const std::string& route) const {
        const auto all = server.requests();
        return static_cast<size_t>(
            std::count_if(all.begin(), all.end(), [&](const auto& request) { return request.route == route; }));
    }
    // Flushes until the server has seen one more request, retrying while the last batch completes.
    template <typename Queue>
    bool flushOnce(Queue& queue, const std::string& route) {
        const auto before = requestsTo(route);
        return eventually([&] {
            queue.flush();
            return eventually([&] { return requestsTo(route) > before; }, std::chrono::milliseconds(200));
        });
    }

    IngestServer server;
    TempFolder folder;
    FakeClock clock;
    orbittest::HedgeLogCapture log;
};

// Foreign entries, empty and non-JSON files never break loading or sending; dot-files are not
// records, order follows creation time, and a file that vanished is skipped.
TEST_F(OrbitQueueTest, FileQueueReadsInCreationOrderAndSurvivesForeignEntries) {
    const auto dir = folder.path / "q";
    fs::create_directories(dir / "a-directory");
    std::ofstream(dir / "ZZZ-first") << "{\"n\":1}";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ofstream(dir / "AAA-second") << "{\"n\":2}";
    std::ofstream(dir / ".half-written.tmp") << "{\"n\":";
    std::ofstream(dir / "empty");
    {
        orbit::OrbitFileBackedQueue queue(dir, {});
        EXPECT_EQ(queue.items(), (std::vector<std::string>{"ZZZ-first", "AAA-second", "empty"}));
        EXPECT_FALSE(fs::exists(dir / ".half-written.tmp"));
        ASSERT_TRUE(queue.add("{\"n\":3}"));
        fs::remove(dir / "AAA-second");
        const auto files = queue.loadFiles(3);
        ASSERT_EQ(files.size(), 3u);
        EXPECT_EQ(files[0].contents, "{\"n\":1}");
        EXPECT_EQ(files[2].contents, "{\"n\":3}");
        EXPECT_TRUE(log.hasPrefix("[Orbit] File " + (dir / "AAA-second").string() + " does not exist"));
    }
    // A read-only folder: the add fails and leaves no name behind.
    if (::geteuid() != 0) {
        orbit::OrbitFileBackedQueue queue(dir, {});
        fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
        const auto depth = queue.depth();
        EXPECT_FALSE(queue.add("{}"));
        EXPECT_EQ(queue.depth(), depth);
        fs::permissions(dir, fs::perms::owner_all);
    }

    // Through the engine, the undecodable files go with the batch they were read in.
    orbit::OrbitStorage storage(folder.path / "storage");
    fs::create_directories(storage.appFolderUrl() / "orbit.queueFolder.uuid");
    std::ofstream(storage.appFolderUrl() / "orbit.queueFolder.uuid" / "garbage") << "not json";
    auto config = makeConfig();
    orbit::OrbitApi api(config);
    auto queue = OrbitQueue<OrbitEvent>::make(config, storage, orbit::QueueEndpoint<OrbitEvent>::batch(api), nullptr);
    queue->add(event("kept"));
    ASSERT_TRUE(flushOnce(*queue, "batch"));
    EXPECT_TRUE(eventually([&] { return queue->depth() == 0; }));
    EXPECT_EQ(server.requests().back().json["batch"].size(), 1u);
}

TEST_F(OrbitQueueTest, LegacyQueueFileMigratesToTimestampNames) {
    orbit::OrbitStorage storage(folder.path);
    fs::copy_file(SABLIX_SOURCE_DIR "/tests/orbit/fixtures/legacy-queue.json", folder.path / "orbit.queue.plist");
    fs::create_directories(folder.path / "orbit.queueFolder");
    std::ofstream(folder.path / "orbit.queueFolder" / "OLD-RECORD") << "{}";
    auto config = makeConfig();
    orbit::OrbitApi api(config);
    auto queue = OrbitQueue<OrbitEvent>::make(config, storage, orbit::QueueEndpoint<OrbitEvent>::batch(api), nullptr);

    const auto dir = folder.path / "orbit.queueFolder.uuid";
    auto names = recordFiles(dir);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"1700000000.0", "1700000000.0-1", "1700000001.5", "OLD-RECORD"}));
    EXPECT_FALSE(fs::exists(folder.path / "orbit.queue.plist"));
    EXPECT_FALSE(fs::exists(folder.path / "orbit.queueFolder"));
    std::ifstream first(dir / "1700000000.0");
    const auto json = nlohmann::json::parse(first);
    EXPECT_EQ(json["event"], "app_launch");
    EXPECT_EQ(json["properties"]["n"], 1);
}

// 413 halves the batch 50, 25, 12, 6; the fourth in a row empties the queue.
TEST_F(OrbitQueueTest, TooLargeHalvesTheBatchThenDropsEverything) {
    orbit::OrbitStorage storage(folder.path);
    auto config = makeConfig();
    orbit::OrbitApi api(config);
    auto queue = OrbitQueue<OrbitEvent>::make(config, storage, orbit::QueueEndpoint<OrbitEvent>::batch(api), nullptr,
                                              clock.now());
    IngestAnswer tooLarge;
    tooLarge.status = 413;
    tooLarge.count = 4;
    server.answer("batch", tooLarge);
    for (int i = 0; i < 60; ++i) queue->add(event("e" + std::to_string(i)));
    for (int round = 0; round < 4; ++round) ASSERT_TRUE(flushOnce(*queue, "batch"));
    std::vector<size_t> sizes;
    for (const auto& request : server.requests())
        if (request.route == "batch") sizes.push_back(request.json["batch"].size());
    EXPECT_EQ(sizes, (std::vector<size_t>{50, 25, 12, 6}));
    EXPECT_TRUE(eventually([&] {
        return log.has(
            "[Orbit] Queue: dropping all queued records \u2014 max retries (3) exceeded after repeated "
            "HTTP 413");
    }));
    // The drop runs on the queue's own thread, a little after its log line.
    EXPECT_TRUE(eventually([&] { return recordFiles(folder.path / "orbit.queueFolder.uuid").empty(); }));
    EXPECT_TRUE(eventually([&] { return queue->depth() == 0u; }));
}

// Retriable answers pause 5, 10 and 15 s and keep the batch; the fourth failure drops the queue.
// A status that is not retriable deletes the batch at once.
TEST_F(OrbitQueueTest, RetriableFailuresBackOffThenDrop) {
    orbit::OrbitStorage storage(folder.path);
    auto config = makeConfig();
    orbit::OrbitApi api(config);
    auto queue = OrbitQueue<OrbitEvent>::make(config, storage, orbit::QueueEndpoint<OrbitEvent>::batch(api), nullptr,
                                              clock.now());
    for (const int status : {500, 429, 503, 408}) {
        IngestAnswer failing;
        failing.status = status;
        server.answer("batch", failing);
        if (status == 500)
            for (int i = 0; i < 3; ++i) queue->add(event("e"));
        ASSERT_TRUE(flushOnce(*queue, "batch"));
        if (status == 408) break;
        const std::string seconds = status == 500 ? "5.0" : status == 429 ? "10.0" : "15.0";
        ASSERT_TRUE(eventually([&] { return log.hasPrefix("[Orbit] Pausing queue consumption for " + seconds); }));
        EXPECT_EQ(queue->depth(), 3u);
        const auto before = requestsTo("batch");
        queue->flush();
        EXPECT_TRUE(log.hasPrefix("[Orbit] The queue is paused until `2023-11-14 22:13:"));
        clock.advance(status == 500 ? 5.0 : status == 429 ? 10.0 : 15.0);
        EXPECT_EQ(requestsTo("batch"), before);
    }
    EXPECT_TRUE(eventually(
        [&] { return log.has("[Orbit] Queue: dropping all queued records \u2014 max retries (3) exceeded"); }));
    EXPECT_TRUE(eventually([&] { return queue->depth() == 0; }));

    IngestAnswer refused;
    refused.status = 400;
    server.answer("batch", refused);
    queue->add(event("refused"));
    ASSERT_TRUE(flushOnce(*queue, "batch"));
    EXPECT_TRUE(
        eventually([&] { return queue->depth() == 0 && recordFiles(folder.path / "orbit.queueFolder.uuid").empty(); }));
}

TEST_F(OrbitQueueTest, LogsRateCapKeepsFiveHundredPerWindowAndWarnsOnce) {
    orbit::OrbitStorage storage(folder.path);
    auto config = makeConfig();
    config->logs.flushAt = 1000;
    orbit::OrbitApi api(config);
    auto queue = OrbitQueue<orbit::OrbitLogRecord>::make(
        config, storage, orbit::QueueEndpoint<orbit::OrbitLogRecord>::logs(api, nlohmann::json::object()), nullptr,
        clock.now());
    for (int i = 0; i < 600; ++i) {
        queue->add(orbit::OrbitLogRecord("line " + std::to_string(i)));
        if (i % 100 == 99) clock.advance(0.15);
    }
    EXPECT_EQ(recordFiles(folder.path / "orbit.logsFolder").size(), 500u);
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "[Orbit] Queue rate cap exceeded (500 per 10.0s), dropping records this window"),
              1);
}

// A full queue evicts from the head while a batch is in flight; the good answer then deletes the
// batch's own files, never the records added meanwhile.
TEST_F(OrbitQueueTest, FullQueueWithBatchInFlightKeepsTheUnsent) {
    orbit::OrbitStorage storage(folder.path);
    auto config = makeConfig();
    config->maxQueueSize = 20;
    config->flushAt = 20;
    orbit::OrbitApi api(config);
    auto queue = OrbitQueue<OrbitEvent>::make(config, storage, orbit::QueueEndpoint<OrbitEvent>::batch(api), nullptr);
    IngestAnswer slow;
    slow.delayMs = 1500;
    server.answer("batch", slow);
    for (int i = 0; i < 20; ++i) queue->add(event("sent"));
    ASSERT_TRUE(eventually([&] { return requestsTo("batch") == 1; }));
    for (int i = 0; i < 10; ++i) queue->add(event("unsent"));
    ASSERT_TRUE(eventually([&] { return log.has("[Orbit] Completed!"); }));
    const auto left = queue->fileQueue().loadFiles(100);
    ASSERT_EQ(left.size(), 10u);
    for (const auto& file : left) EXPECT_EQ(OrbitEvent::fromJSON(file.contents)->event, "unsent");
}

// A child adding events is killed at random moments; every file left is whole JSON, and every
// event it reported as added reaches the server or is still queued for it.
TEST_F(OrbitQueueTest, KilledWhileAddingLosesNothingReported) {
    orbit::OrbitStorage storage(folder.path);
    std::set<std::string> reported;
    std::set<std::string> received;
    // The server keeps only its latest requests: take them round by round.
    const auto collect = [&] {
        for (const auto& request : server.requests())
            if (request.route == "batch")
                for (const auto& sent : request.json["batch"]) received.insert(sent.value("uuid", ""));
        server.reset();
    };
    std::mt19937 random(20);
    for (int round = 0; round < 30; ++round) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            auto config = std::make_shared<orbit::OrbitConfig>("phc_token", server.baseURL());
            config->flushAt = 5;
            config->maxBatchSize = 10;
            config->maxQueueSize = 1'000'000;  // the disk limit would rightly drop the oldest
            orbit::OrbitApi api(config);
            auto queue =
                OrbitQueue<OrbitEvent>::make(config, storage, orbit::QueueEndpoint<OrbitEvent>::batch(api), nullptr);
            for (;;) {
                const auto added = event("crash");
                queue->add(added);
                const auto line = added.uuid.toString() + "\n";
                if (::write(pipeFds[1], line.data(), line.size()) < 0) ::_exit(1);
            }
        }
        ::close(pipeFds[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 80)(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, got);
        ::close(pipeFds[0]);
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            reported.insert(text.substr(start, end - start));
        for (const auto& name : recordFiles(folder.path / "orbit.queueFolder.uuid")) {
            std::ifstream file(folder.path / "orbit.queueFolder.uuid" / name);
            const std::string contents((std::istreambuf_iterator<char>(file)), {});
            EXPECT_TRUE(orbit::fromJSONData(contents)) << name << " is not whole: " << contents;
        }
        collect();
    }
    ASSERT_FALSE(reported.empty());

    auto config = makeConfig();
    config->maxQueueSize = 1'000'000;
    orbit::OrbitApi api(config);
    auto queue = OrbitQueue<OrbitEvent>::make(config, storage, orbit::QueueEndpoint<OrbitEvent>::batch(api), nullptr);
    ASSERT_TRUE(eventually(
        [&] {
            queue->flush();
            collect();
            return queue->depth() == 0;
        },
        std::chrono::seconds(60)));
    collect();
    for (const auto& uuid : reported) EXPECT_TRUE(received.count(uuid)) << uuid << " was lost";
}

TEST_F(OrbitQueueTest, ReplayQueueResetsItsBufferAndSendsSnapshots) {
    orbit::OrbitStorage storage(folder.path);
    fs::create_directories(folder.path / "orbit.replayBufferFolder");
    std::ofstream(folder.path / "orbit.replayBufferFolder" / "leftover") << "x";
    auto config = makeConfig();
    orbit::OrbitApi api(config);
    orbit::OrbitReplayQueue replay(config, storage, api, nullptr);
    EXPECT_TRUE(fs::is_empty(folder.path / "orbit.replayBufferFolder"));
    replay.add(event("$snapshot"));
    ASSERT_TRUE(flushOnce(replay, "snapshot"));
    EXPECT_EQ(requestsTo("batch"), 0u);
    EXPECT_EQ(orbit::dateToMillis(orbit::OrbitDate(std::chrono::microseconds(-1'500'000))), -1500);
}

// Inside a network namespace of its own: no route is unreachable; a link with a default route
// becomes reachable within a second.
TEST(ReachabilityTest, FollowsTheNamespaceRoutes) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const auto uid = ::getuid();
        const auto gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) ::_exit(77);
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
        std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
        orbit::Reachability reachability(std::make_unique<orbit::RtnetlinkFlagsSource>(), nullptr);
        std::atomic<bool> reached{false};
        auto token = reachability.onReachable.subscribe([&](orbit::Reachability&) { reached = true; });
        if (reachability.startNotifier()) ::_exit(2);
        if (reachability.connection() != orbit::Reachability::Connection::unavailable) ::_exit(3);
        const char* setup =
            "(ip link add n0 type dummy 2>/dev/null && ip link set n0 up) || "
            "(ip link add n0 type veth peer name n1 && ip link set n1 up && ip link set n0 up); "
            "ip addr add 10.9.9.1/24 dev n0 && ip route add default via 10.9.9.2";
        if (std::system(setup) != 0) ::_exit(78);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!reached && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::_exit(reached && reachability.connection() == orbit::Reachability::Connection::wifi ? 0 : 4);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "user namespaces are not allowed here";
    if (WEXITSTATUS(status) == 78) GTEST_SKIP() << "no virtual link could be made in the namespace (ip failed)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(orbit::Reachability::describeFlags(0x20002), "-R ------d");
    EXPECT_EQ(orbit::Reachability::connectionFor(0x36), orbit::Reachability::Connection::unavailable);
    EXPECT_EQ(orbit::Reachability::connectionFor(0x26), orbit::Reachability::Connection::wifi);
}

}  // namespace
