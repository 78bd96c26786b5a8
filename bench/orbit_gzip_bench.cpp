// Gzip of 20 MB of event JSON against `gzip -6 -n -c` on the same bytes: the time ratio (goal at
// most 1.11, i.e. at least 0.9 times gzip's speed) and the size ratio (goal within 1 %).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "RatioReporter.h"
#include "orbit/Models/OrbitEvent.h"
#include "orbit/Utils/Gzip.h"

namespace {

constexpr size_t kInputBytes = 20 * 1024 * 1024;

const std::string& eventJson() {
    static const std::string text = [] {
        std::string out = "[";
        for (int i = 0; out.size() < kInputBytes; ++i) {
            orbit::OrbitEvent event(i % 3 ? "snippet_expanded" : "$screen", "user-" + std::to_string(i % 97),
                                    {{"trigger_length", i % 17},
                                     {"app_version", "1.0.0"},
                                     {"environment", "production"},
                                     {"os_version", "6.1.0"},
                                     {"$session_id", orbit::Uuid::v7().toString()}},
                                    orbit::systemNow(), orbit::Uuid::v7());
            out += event.toJSON().dump() + ",";
        }
        out.back() = ']';
        return out;
    }();
    return text;
}

const std::filesystem::path& inputFile() {
    static const std::filesystem::path path = [] {
        auto file = std::filesystem::temp_directory_path() / ("sablix-gzip-bench-" + std::to_string(getpid()));
        std::ofstream(file, std::ios::binary) << eventJson();
        return file;
    }();
    return path;
}

// Runs `gzip -6 -n -c input` with its output in a file; the size of that output.
size_t runGzipCommand() {
    const auto output = inputFile().string() + ".gz";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string input = inputFile().string();
    char* argv[] = {const_cast<char*>("gzip"), const_cast<char*>("-6"),          const_cast<char*>("-n"),
                    const_cast<char*>("-c"),   const_cast<char*>(input.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "gzip", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return 0;
    int status = 0;
    waitpid(pid, &status, 0);
    std::error_code error;
    const auto size = std::filesystem::file_size(output, error);
    std::filesystem::remove(output, error);
    return error ? 0 : static_cast<size_t>(size);
}

void BM_Gzipped(benchmark::State& state) {
    const auto& input = eventJson();
    for (auto _ : state) benchmark::DoNotOptimize(orbit::gzipped(input));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void BM_GzipCommand(benchmark::State& state) {
    inputFile();
    for (auto _ : state)
        if (runGzipCommand() == 0) state.SkipWithError("gzip could not be run");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * eventJson().size()));
}

BENCHMARK(BM_Gzipped)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GzipCommand)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    const int result = runBenchmarksWithRatios(argc, argv,
                                               {{"20 MB of events, gzipped : gzip -6 -n (time; goal at most 1.11)",
                                                 "BM_Gzipped/real_time", "BM_GzipCommand/real_time"}});
    const size_t ours = orbit::gzipped(eventJson()).size();
    const size_t theirs = runGzipCommand();
    if (theirs > 0)
        std::printf("20 MB of events, gzipped : gzip -6 -n (size; goal 0.99 to 1.01): %.4f\n",
                    static_cast<double>(ours) / static_cast<double>(theirs));
    std::error_code error;
    std::filesystem::remove(inputFile(), error);
    return result;
}
