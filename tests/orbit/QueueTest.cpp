#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
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
#include "orbit/Utils/JSONUtils.h"
#include "posix/AtomicFile.h"
#include "servers/IngestServer.h"
#include "support/ModelsTestSupport.h"

namespace fs = std::filesystem;
using nlohmann::json;
using orbit::OrbitEvent;
using orbit::OrbitQueue;
using testservers::IngestServer;
using namespace orbittest;

namespace {

std::vector<std::string> recordFiles(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (const auto name = entry.path().filename().string(); !name.starts_with(".") && !posix::temporaryWriter(name))
            names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
}

class OrbitQueueTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    std::shared_ptr<orbit::OrbitConfig> makeConfig(int flushAt = 1000, int maxQueueSize = 1000) {
        auto config = std::make_shared<orbit::OrbitConfig>("phc_token", server.baseURL());
        config->flushAt = flushAt;
        config->maxQueueSize = maxQueueSize;
        return config;
    }
    // A queue of events sending to the server; a fake clock the test moves when it asks for one.
    std::shared_ptr<OrbitQueue<OrbitEvent>> eventQueue(std::shared_ptr<orbit::OrbitConfig> config,
                                                       bool fakeClock = false) {
        api = std::make_unique<orbit::OrbitApi>(config);
        return OrbitQueue<OrbitEvent>::make(config, storage, orbit::QueueEndpoint<OrbitEvent>::batch(*api), nullptr,
                                            fakeClock ? now() : orbit::systemNow);
    }
    orbit::Now now() const {
        return [m = micros] { return orbit::OrbitDate(std::chrono::microseconds(m->load())); };
    }
    void advance(double seconds) { *micros += static_cast<int64_t>(seconds * 1e6); }
    fs::path queueFolder() const { return folder.path() / "orbit.queueFolder.uuid"; }

    std::vector<testservers::IngestRequest> requestsTo(const std::string& route) const {
        auto all = server.requests();
        std::erase_if(all, [&](const auto& request) { return request.route != route; });
        return all;
    }
    // Flushes until the server has seen one more request, retrying while the last batch completes.
    bool flushOnce(OrbitQueue<OrbitEvent>& queue) {
        const auto before = requestsTo("batch").size();
        return eventually([&] {
            queue.flush();
            return eventually([&] { return requestsTo("batch").size() > before; }, std::chrono::milliseconds(200));
        });
    }

    IngestServer server;
    modelstest::TempDir folder;
    orbit::OrbitStorage storage{folder.path()};
    std::unique_ptr<orbit::OrbitApi> api;
    std::shared_ptr<std::atomic<int64_t>> micros = std::make_shared<std::atomic<int64_t>>(1'700'000'000'000'000);
    orbittest::HedgeLogCapture log;
};

// What an earlier version left (the single-file queue, the older folder) becomes records named by
// their timestamps, in order; foreign entries, half-written, empty and non-JSON files beside them
// break neither loading nor sending, and go with the batch they were read in.
TEST_F(OrbitQueueTest, OlderAndForeignFilesLoadAndSend) {
    fs::copy_file(SABLIX_SOURCE_DIR "/tests/orbit/fixtures/legacy-queue.json", folder.path() / "orbit.queue.plist");
    fs::create_directories(folder.path() / "orbit.queueFolder");
    modelstest::writeFile(folder.path() / "orbit.queueFolder" / "OLD-RECORD", "{}");
    fs::create_directories(queueFolder() / "a-directory");
    modelstest::writeFile(queueFolder() / "not-json", "{\"n\":");
    modelstest::writeFile(queueFolder() / ".half-written.tmp", "{\"n\":");
    const pid_t goneWriter = ::fork();
    if (goneWriter == 0) ::_exit(0);
    ::waitpid(goneWriter, nullptr, 0);
    const auto abandoned = queueFolder() / ("HALF.tmp-" + std::to_string(goneWriter) + "-0");
    modelstest::writeFile(abandoned, "{\"n\":");
    modelstest::writeFile(queueFolder() / "empty", "");
    auto queue = eventQueue(makeConfig());

    EXPECT_EQ(recordFiles(queueFolder()), (std::vector<std::string>{"1700000000.0", "1700000000.0-1", "1700000001.5",
                                                                    "OLD-RECORD", "a-directory", "empty", "not-json"}));
    for (const auto& gone : {folder.path() / "orbit.queue.plist", folder.path() / "orbit.queueFolder",
                             queueFolder() / ".half-written.tmp", abandoned})
        EXPECT_FALSE(fs::exists(gone)) << gone;
    queue->add(event("new"));
    ASSERT_TRUE(flushOnce(*queue));
    EXPECT_TRUE(eventually([&] { return queue->depth() == 0; }));
    std::vector<std::string> sent;
    const auto request = requestsTo("batch").back();
    for (const auto& record : request.json["batch"])
        sent.push_back(record["event"].get<std::string>() + ":" + record["properties"].value("n", json()).dump());
    EXPECT_EQ(sent, (std::vector<std::string>{"app_launch:1", "same_millisecond:2", "later:3", "new:null"}));
}

// 413 halves the batch 50, 25, 12, 6; the fourth in a row empties the queue.
TEST_F(OrbitQueueTest, TooLargeHalvesTheBatchThenDropsEverything) {
    auto queue = eventQueue(makeConfig(), true);
    server.answer("batch", answer(413, "", 0, 4));
    for (int i = 0; i < 60; ++i) queue->add(event("e" + std::to_string(i)));
    const std::vector<size_t> expected{50, 25, 12, 6};
    // Flushes asked for while an answer is handled take the cap it leaves, never the one before.
    for (size_t round = 0; round < expected.size(); ++round) ASSERT_TRUE(flushOnce(*queue));
    std::vector<size_t> sizes;
    for (const auto& request : requestsTo("batch")) sizes.push_back(request.json["batch"].size());
    EXPECT_EQ(sizes, expected);
    // The drop runs on the queue's own thread, a little after its log line.
    EXPECT_TRUE(eventually([&] { return recordFiles(queueFolder()).empty() && queue->depth() == 0; }));
}

// Retriable answers pause 5, 10 and 15 s and keep the batch; the fourth failure drops the queue.
// A status that is not retriable deletes the batch at once.
TEST_F(OrbitQueueTest, RetriableFailuresBackOffThenDrop) {
    auto queue = eventQueue(makeConfig(), true);
    for (int i = 0; i < 3; ++i) queue->add(event("e"));
    for (const auto& [status, pause] : std::vector<std::pair<int, double>>{{500, 5}, {429, 10}, {503, 15}, {408, 0}}) {
        SCOPED_TRACE(status);
        server.answer("batch", answer(status));
        ASSERT_TRUE(flushOnce(*queue));
        if (pause == 0) break;  // the fourth failure in a row
        ASSERT_TRUE(eventually([&, pause = pause] {
            return log.hasPrefix("[Orbit] Pausing queue consumption for " + std::to_string(int(pause)) + ".0");
        }));
        EXPECT_EQ(queue->depth(), 3u);
        const auto before = requestsTo("batch").size();
        queue->flush();  // still paused
        advance(pause);
        EXPECT_EQ(requestsTo("batch").size(), before);
    }
    EXPECT_TRUE(eventually(
        [&] { return log.has("[Orbit] Queue: dropping all queued records \u2014 max retries (3) exceeded"); }));
    EXPECT_TRUE(eventually([&] { return queue->depth() == 0; }));

    server.answer("batch", answer(400));
    queue->add(event("refused"));
    ASSERT_TRUE(flushOnce(*queue));
    EXPECT_TRUE(eventually([&] { return queue->depth() == 0 && recordFiles(queueFolder()).empty(); }));
}

TEST_F(OrbitQueueTest, LogsRateCapKeepsFiveHundredPerWindowAndWarnsOnce) {
    auto config = makeConfig();
    config->logs.flushAt = 1000;
    orbit::OrbitApi logsApi(config);
    auto queue = OrbitQueue<orbit::OrbitLogRecord>::make(
        config, storage, orbit::QueueEndpoint<orbit::OrbitLogRecord>::logs(logsApi, json::object()), nullptr, now());
    for (int i = 0; i < 600; ++i) {
        queue->add(orbit::OrbitLogRecord("line " + std::to_string(i), orbit::OrbitLogSeverity::info, json::object(), {},
                                         {}, {}, "1", "1", {}, {}, {}, {}, {}));
        if (i % 100 == 99) advance(0.15);
    }
    EXPECT_EQ(recordFiles(folder.path() / "orbit.logsFolder").size(), 500u);
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "[Orbit] Queue rate cap exceeded (500 per 10.0s), dropping records this window"),
              1);
}

// A full queue evicts from the head while a batch is in flight; the good answer then deletes the
// batch's own files, never the records added meanwhile.
TEST_F(OrbitQueueTest, FullQueueWithBatchInFlightKeepsTheUnsent) {
    auto queue = eventQueue(makeConfig(20, 20));
    server.answer("batch", answer(200, "", 1500));
    for (int i = 0; i < 20; ++i) queue->add(event("sent"));
    ASSERT_TRUE(eventually([&] { return requestsTo("batch").size() == 1; }));
    for (int i = 0; i < 10; ++i) queue->add(event("unsent"));
    ASSERT_TRUE(eventually([&] { return log.has("[Orbit] Completed!"); }));
    const auto left = queue->fileQueue().loadFiles(100);
    ASSERT_EQ(left.size(), 10u);
    for (const auto& file : left) EXPECT_EQ(OrbitEvent::fromJSON(file.contents)->event, "unsent");
}

// A child adding events is killed at random moments; every file left is whole JSON, and every
// event it reported as added reaches the server or is still queued for it.
TEST_F(OrbitQueueTest, KilledWhileAddingLosesNothingReported) {
    std::set<std::string> reported, received;
    // The server keeps only its latest requests: take them round by round.
    const auto collect = [&] {
        for (const auto& request : requestsTo("batch"))
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
            auto config = makeConfig(5, 1'000'000);  // the disk limit would rightly drop the oldest
            config->maxBatchSize = 10;
            auto queue = eventQueue(config);
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
        FILE* lines = ::fdopen(pipeFds[0], "r");  // each line was one atomic write
        for (char line[64]; std::fgets(line, sizeof line, lines);) reported.insert(std::string(line, 36));
        std::fclose(lines);
        for (const auto& name : recordFiles(queueFolder()))
            EXPECT_TRUE(orbit::fromJSONData(modelstest::readFile(queueFolder() / name))) << name << " is not whole";
        collect();
    }
    ASSERT_FALSE(reported.empty());

    auto queue = eventQueue(makeConfig(1000, 1'000'000));
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

// A write killed before its rename leaves its temporary file; the next start removes those of
// every other process, whether gone or running under a number reused since, and nothing else.
TEST(OrbitStorageTest, StartRemovesTheTemporaryFilesOfOtherWriters) {
    modelstest::TempDir folder;
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const auto temporary = [](pid_t writer) { return "orbit.flags.tmp-" + std::to_string(writer) + "-3"; };
    const std::vector<std::string> kept = {"orbit.flags", temporary(::getpid()), "notes.tmp-12-x"};
    for (const auto& name : kept) modelstest::writeFile(folder.path() / name, R"({"beta":true})");
    for (const pid_t other : {gone, ::getppid()}) modelstest::writeFile(folder.path() / temporary(other), "{\"half\":");
    const orbit::OrbitStorage storage(folder.path());
    for (const pid_t other : {gone, ::getppid()}) EXPECT_FALSE(fs::exists(folder.path() / temporary(other))) << other;
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(folder.path() / name)) << name;
    EXPECT_EQ(storage.getJson(orbit::OrbitStorage::StorageKey::flags), json({{"beta", true}}));
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
        const bool within = eventually([&] { return reached.load(); }, std::chrono::seconds(1));
        ::_exit(within && reachability.connection() == orbit::Reachability::Connection::wifi ? 0 : 4);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "user namespaces are not allowed here";
    if (WEXITSTATUS(status) == 78) GTEST_SKIP() << "no virtual link could be made in the namespace (ip failed)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
