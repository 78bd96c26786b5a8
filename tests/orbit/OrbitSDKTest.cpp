#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "OrbitTestSupport.h"
#include "orbit/OrbitSDK.h"
#include "orbit/Utils/JSONUtils.h"
#include "support/ModelsTestSupport.h"

using orbit::OrbitConfig;
using orbit::OrbitSDK;

namespace {

std::map<std::string, std::string> keyValues(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (const auto equals = line.find('='); equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
    return values;
}

std::vector<std::string> routes(const testservers::IngestServer& server) {
    std::vector<std::string> all;
    for (const auto& request : server.requests()) all.push_back(request.route);
    return all;
}

}  // namespace

// Two starts of a program over one data folder: the ids are made once, stored as one-member objects
// that Python reads as upper-case version-7 UUIDs, and read back the same; each start asks for the
// remote configuration, then for the flags.
TEST(OrbitSDKTest, TwoStartsOfAProgramKeepOneIdentityAndAskForTheConfigurationThenTheFlags) {
    testservers::IngestServer server;
    ASSERT_TRUE(server.start());
    modelstest::TempDir data;
    const auto folder = data.path() / "com.sablix.orbit-test-host" / "phc_host";
    std::optional<std::map<std::string, std::string>> first;
    for (int run = 0; run < 2; ++run) {
        int code = -1;
        const auto ids = keyValues(testsupport::runCommand({ORBIT_TEST_HOST, "ids", server.baseURL(), "phc_host"},
                                                           &code, 30000, {"XDG_DATA_HOME=" + data.path().string()}));
        EXPECT_EQ(code, 0) << "run " << run;
        EXPECT_EQ(routes(server), (std::vector<std::string>{"config", "flags"})) << "run " << run;
        server.reset();
        ASSERT_EQ(ids.at("anonymousId").size(), 36u);
        EXPECT_EQ(ids.at("deviceId"), ids.at("anonymousId"));
        EXPECT_EQ(ids.at("distinctId"), ids.at("anonymousId"));
        EXPECT_EQ(orbit::readJSON(modelstest::readFile(folder / "orbit.anonymousId")),
                  (nlohmann::json{{"orbit.anonymousId", ids.at("anonymousId")}}));
        if (first) {
            EXPECT_EQ(ids, *first);
        }
        first = ids;
        if (const auto checked = orbittest::crossCheck("ids", folder.string())) {
            EXPECT_EQ(*checked, "ok\n");
        }
    }
}

// A flags answer handled while the program exits, after the exit has destroyed the statics made
// since the client started, is logged as written.
TEST(OrbitSDKTest, AFlagsAnswerHandledWhileTheProgramExitsIsLoggedAsWritten) {
    testservers::IngestServer server;
    ASSERT_TRUE(server.start());
    modelstest::TempDir data;
    int code = -1;
    const auto output = testsupport::runCommand({ORBIT_TEST_HOST, "exitflags", server.baseURL(), "phc_exit"}, &code,
                                                30000, {"XDG_DATA_HOME=" + data.path().string()});
    EXPECT_EQ(code, 0) << output;
    const auto exiting = output.find("exiting\n");
    ASSERT_NE(exiting, std::string::npos) << output;
    EXPECT_NE(output.find("[Orbit] Flags called successfully.\n", exiting), std::string::npos) << output;
}

// A token that is blank or is not one path component leaves the client disabled: set-up writes one
// line, every call after it exactly the guard line, and nothing is created. A valid token then
// sets the same instance up; a second set-up and a second instance of the token only warn.
TEST(OrbitSDKTest, ARefusedTokenLeavesEveryCallAtTheGuardUntilAValidSetUp) {
    testservers::IngestServer server;
    ASSERT_TRUE(server.start());
    modelstest::TempDir temp;
    orbit::OrbitHost host = orbit::OrbitHost::standard();
    host.dataHome = temp.path() / "share" / "deeper";
    const std::string disabled = "[Orbit] Orbit SDK will be disabled because projectToken or apiKey is empty.";
    const std::string guard = std::string("[Orbit] ") + OrbitSDK::setupGuardMessage;
    std::shared_ptr<OrbitSDK> sdk;
    for (const std::string& token :
         std::vector<std::string>{"", " \n\t", "../x", "a/b", "..", ".", std::string("a\0b", 3)}) {
        orbittest::HedgeLogCapture log;
        auto config = std::make_shared<OrbitConfig>(token, server.baseURL());
        config->debug = true;
        sdk = OrbitSDK::make(config, host);
        sdk->setup(config);
        EXPECT_EQ(sdk->getDistinctId(), "");
        EXPECT_EQ(sdk->getAnonymousId(), "");
        EXPECT_EQ(sdk->getDeviceId(), "");
        EXPECT_EQ(sdk->getSessionId(), std::nullopt);
        sdk->startSession();
        sdk->endSession();
        sdk->flush();
        sdk->debug(false);
        std::vector<std::string> expected{disabled};
        expected.insert(expected.end(), 8, guard);
        EXPECT_EQ(log.lines(), expected) << "token \"" << token << "\"";
    }
    EXPECT_FALSE(std::filesystem::exists(temp.path() / "share"));

    orbittest::HedgeLogCapture log;
    auto config = std::make_shared<OrbitConfig>(" phc_refused_first ", server.baseURL());
    config->debug = true;
    config->disableQueueTimerForTesting = true;
    sdk->setup(config);
    const auto id = sdk->getDistinctId();
    EXPECT_EQ(id.size(), 36u);
    EXPECT_TRUE(std::filesystem::exists(host.dataHome / "com.orbit.unknown" / "phc_refused_first" / "orbit.deviceId"));
    EXPECT_TRUE(sdk->getSessionId());

    auto second = std::make_shared<OrbitConfig>("phc_other", server.baseURL());
    second->debug = true;
    sdk->setup(second);
    EXPECT_TRUE(log.has("[Orbit] Setup called despite already being setup!"));
    EXPECT_FALSE(std::filesystem::exists(host.dataHome / "com.orbit.unknown" / "phc_other"));

    const auto twin = OrbitSDK::make(config, host);
    twin->setup(config);
    EXPECT_TRUE(log.has("[Orbit] Project token: phc_refused_first already has a Orbit instance."));
    EXPECT_EQ(twin->getDistinctId(), id);
}
