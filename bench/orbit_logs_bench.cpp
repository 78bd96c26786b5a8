// Log capture and the logs payload.
// 1. captureLog of one record (context, hooks, encoding, one file in the logs queue) against capture
//    of an event of the same size (context, hooks, encoding, one file in the event queue). Time
//    ratio, goal at most 1.2.
// 2. Building the OTLP payload of 50 records against nlohmann-json's dump of the same records' stored
//    form. Time ratio, goal at most 3.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "RatioReporter.h"
#include "orbit/Logs/OrbitLogsOTLP.h"
#include "orbit/OrbitSDK.h"
#include "servers/IngestServer.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kToken = "phc_logs_bench";
constexpr const char* kBody = "sync finished: 124 snippets pulled, 3 conflicts resolved";

nlohmann::json attributes(int i) {
    return {{"team", "core"}, {"items", 124}, {"ratio", 0.75}, {"ok", true}, {"request", i}};
}

struct Fixture {
    testservers::IngestServer server;
    fs::path dataHome;
    orbit::OrbitHost host = orbit::OrbitHost::standard();
    std::shared_ptr<orbit::OrbitConfig> config;
    std::shared_ptr<orbit::OrbitSDK> sdk;
    bool ready = false;

    Fixture() {
        char pattern[] = "/tmp/sablix-logs-bench-XXXXXX";
        dataHome = ::mkdtemp(pattern);
        host.dataHome = dataHome;
        if (!server.start()) return;
        config = std::make_shared<orbit::OrbitConfig>(kToken, server.baseURL());
        config->disableQueueTimerForTesting = true;
        config->flushAt = 1 << 30;
        config->maxQueueSize = 1 << 30;
        config->logs.flushAt = 1 << 30;
        config->logs.maxBufferSize = 1 << 30;
        config->logs.rateCapMaxLogs = 0;
        sdk = orbit::OrbitSDK::make(config, host);
        sdk->setup(config);
        ready = !sdk->getDistinctId().empty();
    }
    ~Fixture() {
        sdk.reset();
        std::error_code error;
        fs::remove_all(dataHome, error);
    }
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

void BM_CaptureLog(benchmark::State& state) {
    auto& f = fixture();
    if (!f.ready) return state.SkipWithError("the client could not be set up");
    int i = 0;
    for (auto _ : state) f.sdk->captureLog(kBody, orbit::OrbitLogSeverity::info, attributes(i++));
}

// The stored event is as long as the log record, within a few bytes.
void BM_CaptureEvent(benchmark::State& state) {
    auto& f = fixture();
    if (!f.ready) return state.SkipWithError("the client could not be set up");
    int i = 0;
    for (auto _ : state) {
        auto properties = attributes(i++);
        properties["message"] = kBody;
        f.sdk->capture("log", properties);
    }
}

std::vector<std::shared_ptr<orbit::OrbitLogRecord>> fiftyRecords() {
    std::vector<std::shared_ptr<orbit::OrbitLogRecord>> records;
    for (int i = 0; i < 50; ++i)
        records.push_back(std::make_shared<orbit::OrbitLogRecord>(
            kBody, orbit::OrbitLogSeverity::warn, attributes(i), "4bf92f3577b34da6a3ce929d0e0e4736", "00f067aa0ba902b7",
            1, "1700000000000000000", "1700000000000000000", "user-1", "0190A1B2-C3D4-7E5F-8A9B-0C1D2E3F4A5B", "Main",
            "foreground", std::vector<std::string>{"beta", "layout"}));
    return records;
}

void BM_Payload(benchmark::State& state) {
    const auto records = fiftyRecords();
    orbit::OrbitLogsConfig config;
    const auto resource = orbit::OrbitLogsOTLP::buildResourceAttributes(config, {});
    for (auto _ : state) benchmark::DoNotOptimize(orbit::OrbitLogsOTLP::buildPayload(records, resource, "1.4.0"));
}

void BM_DumpRecords(benchmark::State& state) {
    auto stored = nlohmann::json::array();
    for (const auto& record : fiftyRecords()) stored.push_back(record->toStorageJSON());
    for (auto _ : state) benchmark::DoNotOptimize(stored.dump());
}

BENCHMARK(BM_CaptureLog)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CaptureEvent)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Payload)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DumpRecords)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(argc, argv,
                                   {{"captureLog : capture of the same-sized event (time; goal at most 1.2)",
                                     "BM_CaptureLog/real_time", "BM_CaptureEvent/real_time"},
                                    {"payload of 50 records built : dump of their stored form (time; goal at most 3)",
                                     "BM_Payload", "BM_DumpRecords"}});
}
