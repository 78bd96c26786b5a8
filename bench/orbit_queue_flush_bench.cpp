// One flush of a 50-event batch through the queue engine and the analytics client (records read
// from disk, the body built and gzipped, the POST, the files deleted) to the in-process ingest
// server on loopback, against a bare libcurl loop posting the same gzipped body with the same
// headers: the speed ratio (goal at least 0.7, i.e. a time ratio of at most 1.43).
#include <benchmark/benchmark.h>

#include <curl/curl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RatioReporter.h"
#include "TempFolder.h"
#include "orbit/OrbitApi.h"
#include "orbit/OrbitVersion.h"
#include "orbit/Queue/OrbitQueue.h"
#include "orbit/Utils/Gzip.h"
#include "orbit/Utils/OrbitAPIDateFormatter.h"
#include "servers/IngestServer.h"

namespace {

constexpr const char* kToken = "phc_bench";

// A folder of the benchmark's own, removed with everything in it.
testservers::IngestServer& server() {
    static testservers::IngestServer instance;
    static const bool started = instance.start();
    (void)started;
    return instance;
}

// One batch's worth of events, the same in both benchmarks.
const std::vector<orbit::OrbitEvent>& events() {
    static const std::vector<orbit::OrbitEvent> all = [] {
        std::vector<orbit::OrbitEvent> out;
        for (int i = 0; i < orbit::OrbitConfig(kToken).maxBatchSize; ++i)
            out.emplace_back(i % 3 ? "snippet_expanded" : "$screen", "user-" + std::to_string(i % 7),
                             nlohmann::json{{"trigger_length", i % 17},
                                            {"app_version", "1.0.0"},
                                            {"environment", "production"},
                                            {"os_version", "6.1.0"},
                                            {"$session_id", orbit::Uuid::v7().toString()}},
                             orbit::systemNow(), orbit::Uuid::v7());
        return out;
    }();
    return all;
}

// The gzipped upload body of that batch, as the client builds it.
std::string gzippedBody() {
    auto elements = nlohmann::json::array();
    for (const auto& event : events()) elements.push_back(event.toJSON());
    const nlohmann::json body{
        {"api_key", kToken}, {"batch", std::move(elements)}, {"sent_at", orbit::toISO8601String(orbit::systemNow())}};
    return orbit::gzipped(body.dump());
}

void BM_QueueFlush(benchmark::State& state) {
    if (server().port() == 0) return state.SkipWithError("the ingest server did not start");
    bench::TempFolder folder{"queue-flush-bench"};
    auto config = std::make_shared<orbit::OrbitConfig>(kToken, server().baseURL());
    config->flushAt = 1000;  // only the benchmark flushes
    orbit::OrbitApi api(config);
    orbit::OrbitStorage storage(folder.path);
    auto queue = orbit::OrbitQueue<orbit::OrbitEvent>::make(
        config, storage, orbit::QueueEndpoint<orbit::OrbitEvent>::batch(api), nullptr);
    for (auto _ : state) {
        state.PauseTiming();
        for (const auto& event : events()) queue->add(event);
        // The last flush's completion clears its in-flight mark just after deleting the files.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        state.ResumeTiming();
        // A flush that still found the last one in flight is asked for again.
        bool sent = false;
        for (int attempt = 0; attempt < 10 && !sent; ++attempt) {
            queue->flush();
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            while (!(sent = queue->depth() == 0) && std::chrono::steady_clock::now() < end) std::this_thread::yield();
        }
        if (!sent) {
            state.SkipWithError("the batch was not sent");
            break;
        }
    }
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

void BM_CurlPost(benchmark::State& state) {
    if (server().port() == 0) return state.SkipWithError("the ingest server did not start");
    const std::string body = gzippedBody();
    const std::string url = server().baseURL() + "/batch";
    const std::string userAgent = "User-Agent: " + orbit::orbitSdkName() + "/" + orbit::orbitVersion();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json; charset=utf-8");
    headers = curl_slist_append(headers, "Content-Encoding: gzip");
    headers = curl_slist_append(headers, userAgent.c_str());
    headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip, as the client does
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip");
    // A connection of its own per post: on a kept-alive one the in-process server's answer waits for
    // a delayed acknowledgement (some 40 ms), which would measure the server's sockets, not libcurl.
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    for (auto _ : state) {
        long status = 0;
        if (curl_easy_perform(curl) != CURLE_OK ||
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
            state.SkipWithError("the post was not accepted");
            break;
        }
    }
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
}

BENCHMARK(BM_QueueFlush)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CurlPost)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const int result = runBenchmarksWithRatios(
        argc, argv,
        {{"one 50-event flush through the queue : one bare libcurl post (time; goal at most 1.43, i.e. at least "
          "0.7 times the speed)",
          "BM_QueueFlush/real_time", "BM_CurlPost/real_time"}});
    curl_global_cleanup();
    return result;
}
