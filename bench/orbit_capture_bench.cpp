// One capture on the caller's thread (properties, session, event, hooks, the event's file)
// against serialising the same event and writing it as a new queue file the same way: the time
// ratio (goal at most 1.5). And captures from 4 threads against 1 on one client: the time per
// event, whose ratio is the inverse of the throughput gain (goal at most 0.5, i.e. at least twice
// the throughput).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

#include "RatioReporter.h"
#include "TempFolder.h"
#include "orbit/Models/OrbitEvent.h"
#include "orbit/OrbitSDK.h"
#include "orbit/Queue/OrbitFileBackedQueue.h"
#include "orbit/Utils/JSONUtils.h"

namespace {

const nlohmann::json& properties() {
    static const nlohmann::json value = {
        {"trigger_length", 7}, {"app_version", "1.0.0"}, {"environment", "production"}, {"os_version", "6.1.0"}};
    return value;
}

// One client for every capture benchmark, sending nowhere: its queue only grows.
struct CaptureClient {
    bench::TempFolder data{"capture-bench"};
    std::shared_ptr<orbit::OrbitSDK> sdk;
    std::shared_ptr<orbit::OrbitEvent> sample;

    CaptureClient() {
        auto config = std::make_shared<orbit::OrbitConfig>("phc_bench", "http://127.0.0.1:9");
        config->flushAt = 1 << 30;
        config->maxQueueSize = 1 << 30;
        config->disableQueueTimerForTesting = true;
        config->disableReachabilityForTesting = true;
        config->disableFlushOnBackgroundForTesting = true;
        config->captureApplicationLifecycleEvents = false;
        auto host = orbit::OrbitHost::standard();
        host.dataHome = data.path;
        sdk = orbit::OrbitSDK::make(config, host);
        sdk->setup(config);
        const auto keep = sdk->onEventCaptured.subscribe(
            [this](const orbit::OrbitEvent& event) { sample = std::make_shared<orbit::OrbitEvent>(event); });
        sdk->capture("snippet_expanded", properties());
    }
};

CaptureClient& client() {
    static CaptureClient* const instance = new CaptureClient();
    return *instance;
}

void BM_Capture(benchmark::State& state) {
    auto& sdk = *client().sdk;
    for (auto _ : state) sdk.capture("snippet_expanded", properties());
}

// The captured event, encoded as the queue encodes it and written as a new file of a queue.
void BM_SerialiseAndWrite(benchmark::State& state) {
    const auto sample = client().sample;
    bench::TempFolder folder{"capture-bench"};
    orbit::OrbitFileBackedQueue queue(folder.path / "queue", {});
    for (auto _ : state)
        if (const auto bytes = orbit::toJSONData(sample->toJSON()); !bytes || !queue.add(*bytes)) {
            state.SkipWithError("the event could not be stored");
            break;
        }
}

BENCHMARK(BM_Capture)->Unit(benchmark::kMicrosecond)->UseRealTime()->Threads(1)->Threads(4);
BENCHMARK(BM_SerialiseAndWrite)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(
        argc, argv,
        {{"one capture : the same event serialised and written (time; goal at most 1.5)",
          "BM_Capture/real_time/threads:1", "BM_SerialiseAndWrite/real_time"},
         {"time per capture, 4 threads : 1 thread (goal at most 0.5, i.e. at least twice the throughput)",
          "BM_Capture/real_time/threads:4", "BM_Capture/real_time/threads:1"}});
}
