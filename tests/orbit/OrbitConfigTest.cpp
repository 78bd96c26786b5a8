#include <gtest/gtest.h>

#include "OrbitTestSupport.h"
#include "orbit/OrbitConfig.h"

using orbit::OrbitConfig;

// Construction trims and falls back to the default host; the deprecated aliases log and forward;
// unknown raw values are refused; the integrations follow their switches, error tracking first.
TEST(OrbitConfigTest, OptionsAliasesAndIntegrationsFollowTheirRules) {
    orbittest::HedgeLogCapture log;
    EXPECT_EQ(OrbitConfig(" \n\t").projectToken, "");
    const OrbitConfig trimmed("  phc_1\n", " http://127.0.0.1:9/base \n");
    EXPECT_EQ(trimmed.projectToken, "phc_1");
    EXPECT_EQ(trimmed.host, "http://127.0.0.1:9/base");
    for (const char* host : {"", "  ", "not a url", "http://[::1"})
        EXPECT_EQ(OrbitConfig("t", host).host, OrbitConfig::defaultHost) << host;

    const auto deprecated = OrbitConfig::withApiKey(" key ");
    EXPECT_EQ(deprecated->apiKey(), "key");
    const std::string apiKeyLine =
        "[Orbit] apiKey is deprecated and will be removed in the next major version. Use projectToken instead.";
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), apiKeyLine), 2);
    deprecated->setRemoteConfig(false);
    EXPECT_TRUE(deprecated->remoteConfig());
    deprecated->setEvaluationEnvironments(std::vector<std::string>{"web"});
    EXPECT_EQ(deprecated->evaluationContexts, std::vector<std::string>{"web"});
    deprecated->setEvaluationEnvironments(std::nullopt);
    EXPECT_EQ(deprecated->evaluationContexts, std::nullopt);
    EXPECT_TRUE(log.has("[Orbit] evaluationEnvironments is deprecated. Use evaluationContexts instead."));

    EXPECT_EQ(orbit::orbitDataMode(3), std::nullopt);
    EXPECT_EQ(orbit::orbitPersonProfiles(-1), std::nullopt);
    EXPECT_EQ(orbit::orbitPersonProfiles(0), orbit::OrbitPersonProfiles::never);

    const auto names = [](const OrbitConfig& config) {
        std::vector<std::string> all;
        for (const auto& integration : config.getIntegrations()) all.push_back(integration->typeName());
        return all;
    };
    OrbitConfig config("t");
    EXPECT_EQ(names(config), (std::vector<std::string>{"OrbitScreenViewIntegration", "OrbitAppLifeCycleIntegration"}));
    config.errorTrackingConfig.autoCapture = true;
    EXPECT_EQ(names(config).front(), "OrbitErrorTrackingAutoCaptureIntegration");
    config.errorTrackingConfig.autoCapture = config.captureScreenViews = config.captureApplicationLifecycleEvents =
        false;
    EXPECT_TRUE(names(config).empty());
}
