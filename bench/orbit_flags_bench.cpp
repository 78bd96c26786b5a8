// Handling and storing a 1,000-flag answer (read from the wire, normalised, written to disk) against
// Python's json.loads plus json.dump of the same document (goal at most 2).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "RatioReporter.h"
#include "orbit/Flags/OrbitRemoteConfig.h"
#include "servers/IngestServer.h"
#include "support/ChildProcess.h"

namespace {

using nlohmann::json;

constexpr int kFlags = 1000;

const std::string& flagsAnswer() {
    static const std::string text = [] {
        json flags = json::object();
        for (int i = 0; i < kFlags; ++i) {
            json entry = {
                {"key", "flag-" + std::to_string(i)},
                {"enabled", i % 4 != 0},
                {"reason", {{"code", "condition_match"}, {"condition_index", i % 3}}},
                {"metadata", {{"id", i}, {"version", 1 + i % 5}, {"description", "flag number " + std::to_string(i)}}}};
            if (i % 5 == 0) entry["variant"] = "variant-" + std::to_string(i % 3);
            if (i % 2 == 0) entry["metadata"]["payload"] = json{{"limit", i}, {"label", "tier"}}.dump();
            flags["flag-" + std::to_string(i)] = std::move(entry);
        }
        return json{{"flags", flags}, {"errorsWhileComputingFlags", false}, {"requestId", "req"}, {"evaluatedAt", 1}}
            .dump();
    }();
    return text;
}

std::filesystem::path scratch(const std::string& name) {
    return std::filesystem::temp_directory_path() / ("sablix-flags-bench-" + std::to_string(getpid()) + name);
}

class NoDevice : public orbit::OrbitStorageManager {
public:
    explicit NoDevice(std::shared_ptr<orbit::OrbitStorage> storage)
        : OrbitStorageManager(std::move(storage), nullptr) {}
    std::string getDistinctId() override { return "user"; }
    std::string getAnonymousId() override { return "anon"; }
    std::string getDeviceId() override { return ""; }
};

void BM_HandleAndStoreFlags(benchmark::State& state) {
    testservers::IngestServer server;
    if (!server.start()) return state.SkipWithError("no port for the ingest server");
    const auto folder = scratch("-store");
    auto config = std::make_shared<orbit::OrbitConfig>("phc_token", server.baseURL());
    auto storage = std::make_shared<orbit::OrbitStorage>(folder);
    config->storageManager = std::make_shared<NoDevice>(storage);
    config->preloadFeatureFlags = false;
    auto api = std::make_shared<orbit::OrbitApi>(config);
    auto remote = orbit::OrbitRemoteConfig::create(
        config, storage, api, [] { return json::object(); }, nullptr, [](std::function<void()> block) { block(); },
        nullptr);
    testservers::IngestAnswer answer;
    answer.body = flagsAnswer();
    answer.count = testservers::IngestServer::kMaxAnswerCount;
    int64_t served = 0;
    for (auto _ : state) {
        if (served++ % (answer.count / 2) == 0) {
            state.PauseTiming();
            server.answer("flags", answer);
            state.ResumeTiming();
        }
        std::promise<bool> done;
        remote->reloadFeatureFlags(
            [&](const std::optional<json>& flags) { done.set_value(flags && flags->size() == kFlags); });
        if (!done.get_future().get()) return state.SkipWithError("the answer was not taken");
    }
    remote.reset();
    std::error_code error;
    std::filesystem::remove_all(folder, error);
}

// Python times itself per document, so its start-up stays out of the figure.
void BM_PythonLoadsAndDump(benchmark::State& state) {
    const auto input = scratch(".json");
    const auto output = scratch("-python.json");
    std::ofstream(input, std::ios::binary) << flagsAnswer();
    const std::string script =
        "import json, sys, time\n"
        "text = open(sys.argv[1]).read()\n"
        "times = []\n"
        "for _ in range(int(sys.argv[3])):\n"
        "    start = time.perf_counter()\n"
        "    with open(sys.argv[2], 'w') as f: json.dump(json.loads(text), f)\n"
        "    times.append(time.perf_counter() - start)\n"
        "times.sort()\n"
        "print(times[len(times) // 2])\n";
    int code = -1;
    const auto printed =
        testsupport::runCommand({"python3", "-c", script, input.string(), output.string(), "200"}, &code, 120000);
    std::error_code error;
    std::filesystem::remove(input, error);
    std::filesystem::remove(output, error);
    if (code != 0) return state.SkipWithError("python3 could not be run");
    const double seconds = std::stod(printed);
    for (auto _ : state) state.SetIterationTime(seconds);
}

BENCHMARK(BM_HandleAndStoreFlags)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PythonLoadsAndDump)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(
        argc, argv,
        {{"1,000-flag answer handled and stored : json.loads + json.dump (goal at most 2)",
          "BM_HandleAndStoreFlags/real_time", "BM_PythonLoadsAndDump/iterations:10/manual_time"}});
}
