// Loading a queue of 10,000 record files at start (listing, creation times, order) against
// `find <folder> -type f | sort` over the same folder: the time ratio (goal at most 2).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "RatioReporter.h"
#include "Smoke.h"
#include "orbit/Models/OrbitEvent.h"
#include "orbit/Queue/OrbitFileBackedQueue.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kRecords = 10'000;
constexpr size_t kSmokeRecords = 200;

size_t records() {
    static const size_t count = smokeOr(kRecords, kSmokeRecords);
    return count;
}

// A folder holding records() queued events, written once through the queue and removed at exit.
class QueuedFolder {
public:
    QueuedFolder() {
        char pattern[] = "/tmp/sablix-queue-load-bench-XXXXXX";
        root_ = ::mkdtemp(pattern);
        orbit::OrbitFileBackedQueue queue(folder(), {});
        for (size_t i = 0; i < records(); ++i) {
            const orbit::OrbitEvent event("snippet_expanded", "user-" + std::to_string(i % 97),
                                          {{"trigger_length", i % 17}, {"app_version", "1.0.0"}}, orbit::systemNow(),
                                          orbit::Uuid::v7());
            if (!queue.add(event.toJSON().dump())) break;
        }
        ready_ = queue.depth() == records();
    }
    ~QueuedFolder() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    fs::path folder() const { return root_ / "queue"; }
    bool ready() const { return ready_; }

private:
    fs::path root_;
    bool ready_ = false;
};

const QueuedFolder& queued() {
    static const QueuedFolder folder;
    return folder;
}

// Runs `find folder -type f | sort` through the shell with its output discarded; false when it
// could not be run.
bool runFindSort(const fs::path& folder) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string command = "find '" + folder.string() + "' -type f | sort";
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "sh", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_QueueLoad(benchmark::State& state) {
    if (!queued().ready()) return state.SkipWithError("the queue folder could not be filled");
    for (auto _ : state) {
        orbit::OrbitFileBackedQueue queue(queued().folder(), {});
        if (queue.depth() != records()) {
            state.SkipWithError("the queue did not load every record");
            break;
        }
    }
}

void BM_FindSort(benchmark::State& state) {
    if (!queued().ready()) return state.SkipWithError("the queue folder could not be filled");
    for (auto _ : state)
        if (!runFindSort(queued().folder())) {
            state.SkipWithError("find | sort could not be run");
            break;
        }
}

BENCHMARK(BM_QueueLoad)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FindSort)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(argc, argv,
                                   {{"10,000 queued files loaded : find | sort (time; goal at most 2)",
                                     "BM_QueueLoad/real_time", "BM_FindSort/real_time"}});
}
