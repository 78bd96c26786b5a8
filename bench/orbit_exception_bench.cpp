// A handled exception reported with captureException (the capture-time stack walked and looked
// up, its images found, the "$exception" event stored) against capture of a plain event on the
// same client: the time ratio, goal at most 10. The program exports its symbols as the
// application does, so the stack's frames have names.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "RatioReporter.h"
#include "TempFolder.h"
#include "orbit/OrbitSDK.h"

namespace {

const nlohmann::json& properties() {
    static const nlohmann::json value = {{"screen", "library"}, {"items", 124}};
    return value;
}

// One client sending nowhere: its queue only grows.
struct Client {
    bench::TempFolder data{"exception-bench"};
    std::shared_ptr<orbit::OrbitSDK> sdk;

    Client() {
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
    }
};

orbit::OrbitSDK& sdk() {
    static Client* const instance = new Client();
    return *instance->sdk;
}

void BM_CaptureException(benchmark::State& state) {
    auto& client = sdk();
    const std::runtime_error error("the library could not be saved");
    for (auto _ : state) client.captureException(error, properties());
}

void BM_Capture(benchmark::State& state) {
    auto& client = sdk();
    for (auto _ : state) client.capture("library_saved", properties());
}

BENCHMARK(BM_CaptureException)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Capture)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(argc, argv,
                                   {{"captureException : capture of a plain event (time; goal at most 10)",
                                     "BM_CaptureException/real_time", "BM_Capture/real_time"}});
}
