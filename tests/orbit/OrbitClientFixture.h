#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "OrbitTestSupport.h"
#include "orbit/OrbitSDK.h"
#include "support/ModelsTestSupport.h"

namespace orbittest {

using nlohmann::json;
using orbit::OrbitConfig;
using orbit::OrbitSDK;

// A client set up against a fresh ingest server, in a data folder of its own, sending only when told.
struct Client {
    testservers::IngestServer server;
    modelstest::TempDir data;
    std::shared_ptr<OrbitConfig> config;
    std::shared_ptr<OrbitSDK> sdk;

    template <typename Configure, typename ConfigureHost>
    Client(Configure configure, ConfigureHost configureHost) {
        EXPECT_TRUE(server.start());
        config = std::make_shared<OrbitConfig>("phc_capture", server.baseURL());
        config->flushAt = 1000;
        config->disableQueueTimerForTesting = true;
        config->disableReachabilityForTesting = true;
        config->disableFlushOnBackgroundForTesting = true;
        config->captureApplicationLifecycleEvents = false;
        config->debug = true;  // set-up switches the debug log to this
        configure(*config);
        auto host = orbit::OrbitHost::standard();
        host.dataHome = data.path();
        configureHost(host);
        sdk = OrbitSDK::make(config, host);
        sdk->setup(config);
    }
    template <typename Configure>
    explicit Client(Configure configure) : Client(configure, [](orbit::OrbitHost&) {}) {}
    Client() : Client([](OrbitConfig&) {}) {}

    std::vector<json> events() const {
        std::vector<json> all;
        for (const auto& request : server.requests())
            if (request.route == "batch" && request.json.is_object())
                for (const auto& event : request.json["batch"]) all.push_back(event);
        return all;
    }
    // Sends what is queued and waits until the server holds count events.
    std::vector<json> sent(size_t count) {
        // A flush while a batch is in flight does nothing, so ask until everything is there.
        EXPECT_TRUE(orbittest::eventually([&] {
            sdk->flush();
            return events().size() >= count;
        })) << events().size();
        return events();
    }
    size_t flagsRequests() const {
        size_t count = 0;
        for (const auto& request : server.requests()) count += request.route == "flags";
        return count;
    }
};

inline std::vector<std::string> names(const std::vector<json>& events) {
    std::vector<std::string> all;
    for (const auto& event : events) all.push_back(event["event"]);
    return all;
}

}  // namespace orbittest
