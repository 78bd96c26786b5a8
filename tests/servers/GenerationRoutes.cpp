#include "servers/GenerationRoutes.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

#include "servers/TestBackend.h"

namespace testservers {
namespace {

constexpr const char* kGenerateRoute = "/api/generate";
constexpr const char* kStreamsRoute = "/__test/generate";
constexpr const char* kStepRoute = "/__test/generate/step";
constexpr int kMaxIntervalMs = 10'000;
constexpr auto kHoldLimit = std::chrono::seconds(30);
constexpr auto kStepLimit = std::chrono::seconds(30);
constexpr auto kPingInterval = std::chrono::milliseconds(20);
constexpr int64_t kFloodLimitBytes = int64_t(1) << 30;
constexpr size_t kMaxStreamsKept = 100;

using Clock = std::chrono::steady_clock;

struct Stream {
    int written = 0;
    int64_t writtenBytes = 0;  // flood lines included
    int allowed = 1;           // writes a stepped stream may make so far
    std::vector<long long> writtenAtNs;
    bool closedByClient = false;
    bool complete = false;
};

// What every stream did, shared by the route and the control that reports it.
struct Streams {
    std::mutex mutex;
    std::vector<Stream> all;

    size_t start() {
        std::lock_guard lock(mutex);
        if (all.size() >= kMaxStreamsKept) all.erase(all.begin());
        all.emplace_back();
        return all.size() - 1;
    }
    template <class F>
    void update(size_t index, F&& change) {
        std::lock_guard lock(mutex);
        if (index < all.size()) change(all[index]);
    }
    // Lets the newest stream make one more write.
    void step() {
        std::lock_guard lock(mutex);
        if (!all.empty()) ++all.back().allowed;
    }
    bool allows(size_t index, int writes) {
        std::lock_guard lock(mutex);
        return index < all.size() && all[index].allowed >= writes;
    }
    nlohmann::json toJson() {
        std::lock_guard lock(mutex);
        auto list = nlohmann::json::array();
        for (const auto& s : all)
            list.push_back({{"written", s.written},
                            {"writtenBytes", s.writtenBytes},
                            {"writtenAtNs", s.writtenAtNs},
                            {"closedByClient", s.closedByClient},
                            {"complete", s.complete}});
        return {{"streams", list}};
    }
};

std::string errorEvent(const std::string& message) {
    const nlohmann::json event = {{"type", "error"}, {"error", {{"type", "overloaded_error"}, {"message", message}}}};
    return "event: error\ndata: " + event.dump() + "\n\n";
}

// The writes the script asks for, in order.
std::vector<std::string> scriptedWrites(const nlohmann::json& script) {
    std::vector<std::string> events;
    if (script.contains("raw") && script["raw"].is_string()) {
        events.push_back(script["raw"].get<std::string>());
    } else {
        if (script.contains("fragments") && script["fragments"].is_array())
            for (const auto& fragment : script["fragments"])
                if (fragment.is_string()) events.push_back(generationTextEvent(fragment.get<std::string>()));
        if (script.contains("error") && script["error"].is_string())
            events.push_back(errorEvent(script["error"].get<std::string>()));
        if (script.value("done", true)) events.push_back("data: [DONE]\n\n");
    }
    const size_t chunkBytes = std::max(0, script.value("chunkBytes", 0));
    if (chunkBytes == 0) return events;
    std::string body;
    for (const auto& event : events) body += event;
    std::vector<std::string> pieces;
    for (size_t at = 0; at < body.size(); at += chunkBytes) pieces.push_back(body.substr(at, chunkBytes));
    return pieces;
}

// Sleeps for the time given, or less once the server stops.
void pause(const httplib::Server& server, std::chrono::milliseconds time) {
    const auto until = Clock::now() + time;
    while (Clock::now() < until && server.is_running())
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(5), until - Clock::now()));
}

}  // namespace

std::string generationTextEvent(const std::string& text) {
    const nlohmann::json event = {
        {"type", "content_block_delta"}, {"index", 0}, {"delta", {{"type", "text_delta"}, {"text", text}}}};
    return "event: content_block_delta\ndata: " + event.dump() + "\n\n";
}

void installGenerationRoutes(httplib::Server& server, BackendRoutes& routes) {
    auto streams = std::make_shared<Streams>();
    server.Get(kStreamsRoute, [streams](const httplib::Request&, httplib::Response& response) {
        response.set_content(streams->toJson().dump(), "application/json");
    });
    server.Post(kStepRoute, [streams](const httplib::Request&, httplib::Response& response) {
        streams->step();
        response.set_content("{}", "application/json");
    });
    routes[kGenerateRoute] = [streams, &server](const httplib::Request&, httplib::Response& response,
                                                const nlohmann::json& state) {
        const nlohmann::json script =
            state.contains("generate") && state["generate"].is_object() ? state["generate"] : nlohmann::json::object();
        const auto interval = std::chrono::milliseconds(std::clamp(script.value("intervalMs", 0), 0, kMaxIntervalMs));
        const bool hold = script.value("hold", false);
        const bool stepped = script.value("stepped", false);
        const bool cutOff = script.value("cutOff", false);
        const bool flood = script.value("flood", false);
        const size_t index = streams->start();
        response.status = 200;
        response.set_header("Cache-Control", "no-cache");
        response.set_chunked_content_provider(
            "text/event-stream", [streams, &server, index, interval, hold, stepped, cutOff, flood,
                                  writes = scriptedWrites(script)](size_t, httplib::DataSink& sink) {
                const auto closed = [&] {
                    streams->update(index, [](Stream& s) { s.closedByClient = true; });
                    return false;
                };
                for (size_t i = 0; i < writes.size(); ++i) {
                    if (i > 0) pause(server, interval);
                    const auto stepLimit = Clock::now() + kStepLimit;
                    while (stepped && !streams->allows(index, static_cast<int>(i) + 1) && Clock::now() < stepLimit &&
                           server.is_running())
                        pause(server, std::chrono::milliseconds(5));
                    const long long at =
                        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
                    if (!sink.write(writes[i].data(), writes[i].size())) return closed();
                    streams->update(index, [at, bytes = writes[i].size()](Stream& s) {
                        ++s.written;
                        s.writtenBytes += static_cast<int64_t>(bytes);
                        s.writtenAtNs.push_back(at);
                    });
                }
                if (cutOff) return false;
                if (flood) {
                    const std::string line = ": " + std::string(64 * 1024, 'x') + "\n";
                    for (int64_t sent = 0; sent < kFloodLimitBytes && server.is_running();
                         sent += static_cast<int64_t>(line.size())) {
                        if (!sink.write(line.data(), line.size())) return closed();
                        streams->update(index, [&](Stream& s) { s.writtenBytes += static_cast<int64_t>(line.size()); });
                    }
                }
                if (hold) {
                    const auto until = Clock::now() + kHoldLimit;
                    while (Clock::now() < until && server.is_running()) {
                        pause(server, kPingInterval);
                        if (!sink.write(": ping\n", 7)) return closed();
                    }
                }
                sink.done();
                streams->update(index, [](Stream& s) { s.complete = true; });
                return true;
            });
    };
}

void stepGenerationStream(const TestBackend& backend) {
    httplib::Client client("127.0.0.1", backend.port());
    client.Post(kStepRoute);
}

nlohmann::json generationStreams(const TestBackend& backend) {
    httplib::Client client("127.0.0.1", backend.port());
    const auto answer = client.Get(kStreamsRoute);
    if (!answer || answer->status != 200) return nlohmann::json::object();
    return nlohmann::json::parse(answer->body, nullptr, false);
}

}  // namespace testservers
