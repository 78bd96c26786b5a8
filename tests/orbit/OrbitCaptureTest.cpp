#include <gtest/gtest.h>

#include <csignal>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

#include "OrbitClientFixture.h"
#include "orbit/OrbitSDK.h"
#include "support/ModelsTestSupport.h"

using orbit::OrbitConfig;
using orbit::OrbitSDK;
using nlohmann::json;

using orbittest::Client;
using orbittest::names;

// 25 captures with a flush threshold of 10 arrive as gzip batches the server accepts; Python reads
// each batch and finds the wire keys, the library, a version-7 session id, the system name and
// version-7 uuids that increase in capture order.
TEST(OrbitCaptureTest, TwentyFiveCapturesArriveAsBatchesInCaptureOrder) {
    Client client([](OrbitConfig& config) {
        config.flushAt = 10;
        config.maxBatchSize = 10;
    });
    for (int n = 0; n < 25; ++n) client.sdk->capture("counted", json{{"n", n}});
    const auto events = client.sent(25);
    EXPECT_EQ(events.size(), 25u);

    modelstest::TempDir bodies;
    int index = 0;
    for (const auto& request : client.server.requests()) {
        EXPECT_EQ(request.problems, std::vector<std::string>{}) << request.route;
        if (request.route != "batch") continue;
        EXPECT_EQ(request.header("content-encoding"), "gzip");
        std::ofstream(bodies.path() / ("batch-" + std::to_string(index++) + ".json")) << request.body;
    }
    EXPECT_GE(index, 3);
    if (const auto checked = orbittest::crossCheck("batches", bodies.path().string())) {
        EXPECT_EQ(*checked, "ok\n");
    }
}

// A child captures 40 events with the service unreachable and is killed with SIGKILL; a second
// run against the service sends every one of them, each once.
TEST(OrbitCaptureTest, EventsCapturedBeforeAKillArriveAtTheNextStart) {
    modelstest::TempDir data;
    std::string deadURL;
    {
        testservers::IngestServer gone;
        ASSERT_TRUE(gone.start());
        deadURL = gone.baseURL();
    }
    const std::vector<std::string> environment{"XDG_DATA_HOME=" + data.path().string()};
    const auto output = (data.path() / "captured.txt").string();
    std::set<std::string> captured;
    {
        testsupport::ChildProcess child({ORBIT_TEST_HOST, "capture", deadURL, "phc_kill", "40"}, environment, output);
        ASSERT_TRUE(orbittest::eventually(
            [&] { return testsupport::fileContents(output).find("done\n") != std::string::npos; },
            std::chrono::seconds(30)));
        ::kill(child.pid(), SIGKILL);
        child.wait(5000);
        std::istringstream lines(testsupport::fileContents(output));
        for (std::string line; std::getline(lines, line);)
            if (line.size() == 36) captured.insert(line);
    }
    ASSERT_EQ(captured.size(), 40u);

    testservers::IngestServer server;
    ASSERT_TRUE(server.start());
    testsupport::ChildProcess drain({ORBIT_TEST_HOST, "drain", server.baseURL(), "phc_kill"}, environment);
    std::multiset<std::string> arrived;
    const auto collect = [&] {
        arrived.clear();
        for (const auto& request : server.requests())
            if (request.route == "batch" && request.json.is_object())
                for (const auto& event : request.json["batch"]) arrived.insert(event.value("uuid", ""));
        return std::set<std::string>(arrived.begin(), arrived.end()) == captured;
    };
    EXPECT_TRUE(orbittest::eventually(collect, std::chrono::seconds(30)));
    EXPECT_EQ(arrived.size(), 40u);
}

// Identity and groups as the service sees them, with values JSON cannot hold dropped on the way.
TEST(OrbitCaptureTest, IdentityGroupsAndRegisteredPropertiesReachTheEvents) {
    orbittest::HedgeLogCapture log;
    Client client;
    auto& sdk = *client.sdk;
    const auto anonymous = sdk.getDistinctId();
    const auto device = sdk.getDeviceId();
    ASSERT_TRUE(orbittest::eventually([&] { return client.flagsRequests() == 1; }));

    sdk.registerProperties({{"plan", "pro"}});
    sdk.capture("", json{{"plan", "free"},
                         {"$lib", "mine"},
                         {"nan", std::nan("")},
                         {"bad", std::string("\xff")},
                         {"ok", 1}});
    sdk.identify("user-A");
    sdk.identify("user-B");
    EXPECT_TRUE(log.has("[Orbit] already identified with id: user-A"));
    sdk.setPersonProperties(json{{"age", 30}});
    sdk.setPersonProperties(json{{"age", 30}});
    EXPECT_TRUE(log.has(
        "[Orbit] A duplicate setPersonProperties call was made with the same properties. It has been ignored."));
    sdk.group("company", "acme");
    ASSERT_TRUE(orbittest::eventually([&] { return client.flagsRequests() == 3; }));  // identify, then group
    sdk.group("company", "acme");
    sdk.capture("later");
    auto events = client.sent(6);
    ASSERT_EQ(names(events), (std::vector<std::string>{"", "$identify", "$set", "$groupidentify", "$groupidentify", "later"}));
    EXPECT_EQ(client.flagsRequests(), 3u);

    const auto& first = events[0]["properties"];
    EXPECT_EQ(first["plan"], "pro");
    EXPECT_NE(first["$lib"], "mine");
    EXPECT_EQ(first["ok"], 1);
    EXPECT_FALSE(first.contains("nan") || first.contains("bad"));
    EXPECT_EQ(events[1]["properties"]["$anon_distinct_id"], anonymous);
    EXPECT_EQ(events[1]["distinct_id"], "user-A");
    EXPECT_EQ(events[2]["properties"]["$set"], (json{{"age", 30}}));
    EXPECT_EQ(events[3]["properties"]["$group_type"], "company");
    EXPECT_FALSE(events[3]["properties"].contains("$group_set"));
    EXPECT_EQ(events[5]["properties"]["$groups"], (json{{"company", "acme"}}));
    EXPECT_EQ(events[5]["properties"]["$is_identified"], true);
    EXPECT_EQ(sdk.getAnonymousId(), anonymous);

    // Reset: a new anonymous person and session, the same device; queued events still go out.
    const auto session = sdk.getSessionId();
    sdk.capture("queued before reset");
    sdk.reset();
    sdk.capture("after reset");
    events = client.sent(8);
    EXPECT_EQ(names(events).back(), "after reset");
    EXPECT_EQ(events[6]["event"], "queued before reset");
    const auto& after = events[7];
    EXPECT_EQ(sdk.getDeviceId(), device);
    EXPECT_NE(after["distinct_id"], "user-A");
    EXPECT_NE(after["distinct_id"], anonymous);
    EXPECT_NE(after["properties"]["$session_id"], session);
    EXPECT_FALSE(after["properties"].contains("$groups") || after["properties"].contains("plan"));
}

// With person profiles off nothing carries "$set"; a hook that drops a listed event warns.
TEST(OrbitCaptureTest, PersonProfilesNeverAndDroppingHooksKeepEventsOut) {
    orbittest::HedgeLogCapture log;
    Client client([](OrbitConfig& config) {
        config.personProfiles = orbit::OrbitPersonProfiles::never;
        config.setBeforeSend([](std::shared_ptr<orbit::OrbitEvent> event) {
            return event->event == "$screen" || event->event == "drop me" ? nullptr : event;
        });
    });
    auto& sdk = *client.sdk;
    sdk.capture("with set", json::object(), json{{"a", 1}});
    sdk.identify("user-A");
    sdk.setPersonProperties(json{{"a", 1}});
    sdk.screen("Home");
    sdk.capture("drop me");
    sdk.capture("plain");
    const auto events = client.sent(1);
    ASSERT_EQ(names(events), std::vector<std::string>{"plain"});
    EXPECT_EQ(events[0]["properties"]["$process_person_profile"], false);
    EXPECT_EQ(events[0]["properties"]["$screen_name"], "Home");
    EXPECT_TRUE(log.has("[Orbit] identify(_:userProperties:userPropertiesSetOnce:) was called, but `personProfiles` "
                        "is set to `never`. This call will be ignored."));
    EXPECT_TRUE(log.has("[Orbit] Orbit event $screen was dropped. This can cause unexpected behavior."));
    EXPECT_TRUE(log.has("[Orbit] Orbit event drop me was dropped"));
}
