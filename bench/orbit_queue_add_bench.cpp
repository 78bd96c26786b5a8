// Adding one event record to the file-backed queue (a dot-named temporary file, then a rename)
// against a bare C loop creating files of the same size and name length in the same file system:
// the speed ratio (goal at least 0.5, i.e. a time ratio of at most 2).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "RatioReporter.h"
#include "TempFolder.h"
#include "orbit/Models/OrbitEvent.h"
#include "orbit/Queue/OrbitFileBackedQueue.h"

namespace {

namespace fs = std::filesystem;

// A folder of the benchmark's own, removed with everything in it.
const std::string& record() {
    static const std::string text = orbit::OrbitEvent("snippet_expanded", "user-42",
                                                      {{"trigger_length", 7},
                                                       {"app_version", "1.0.0"},
                                                       {"environment", "production"},
                                                       {"os_version", "6.1.0"},
                                                       {"$session_id", orbit::Uuid::v7().toString()}},
                                                      orbit::systemNow(), orbit::Uuid::v7())
                                        .toJSON()
                                        .dump();
    return text;
}

void BM_QueueAdd(benchmark::State& state) {
    bench::TempFolder folder{"queue-add-bench"};
    orbit::OrbitFileBackedQueue queue(folder.path / "queue", {});
    const auto& bytes = record();
    for (auto _ : state)
        if (!queue.add(bytes)) {
            state.SkipWithError("the record could not be stored");
            break;
        }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

// open, write, close: one new file per record, named like a record (36 characters).
void BM_CreateFiles(benchmark::State& state) {
    bench::TempFolder folder{"queue-add-bench"};
    const auto dir = folder.path / "queue";
    fs::create_directories(dir);
    const auto& bytes = record();
    char name[4096];
    unsigned long long counter = 0;
    for (auto _ : state) {
        std::snprintf(name, sizeof name, "%s/%036llu", dir.c_str(), counter++);
        const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            state.SkipWithError("a file could not be written");
            if (fd >= 0) ::close(fd);
            break;
        }
        ::close(fd);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

BENCHMARK(BM_QueueAdd)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CreateFiles)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(
        argc, argv,
        {{"one record added : one bare file created (time; goal at most 2, i.e. at least 0.5 times the speed)",
          "BM_QueueAdd/real_time", "BM_CreateFiles/real_time"}});
}
