#include <gtest/gtest.h>

#include "Models/Environment/AppEnvironment.h"
#include "platform/MemoryDefaults.h"

using sablix::APIEndpoint;
using sablix::AppEnvironment;

namespace {

const platform::Uuid kTeam = *platform::Uuid::fromString("0f8fad5b-d9cb-469f-a165-70867728950e");
const platform::Uuid kOther = *platform::Uuid::fromString("7c9e6679-7425-40de-944b-e07fc1f90ae7");
const std::string kTeamText = "0F8FAD5B-D9CB-469F-A165-70867728950E";
const std::string kOtherText = "7C9E6679-7425-40DE-944B-E07FC1F90AE7";

std::string url(const AppEnvironment& environment, const APIEndpoint& endpoint) {
    return environment.url(endpoint).toString().toStdString();
}

}  // namespace

TEST(APIEndpoint, PathsCarryUpperCaseIdentifiers) {
    const std::pair<APIEndpoint, std::string> table[] = {
        {APIEndpoint::team(kTeam), "/api/teams/" + kTeamText},
        {APIEndpoint::teamMembers(kTeam), "/api/teams/" + kTeamText + "/members"},
        {APIEndpoint::teamMember(kTeam, kOther), "/api/teams/" + kTeamText + "/members/" + kOtherText},
        {APIEndpoint::teamSnippets(kTeam), "/api/teams/" + kTeamText + "/snippets"},
        {APIEndpoint::teamSnippet(kTeam, kOther), "/api/teams/" + kTeamText + "/snippets/" + kOtherText},
        {APIEndpoint::authSignIn(), "/api/auth/signin"},
        {APIEndpoint::authRefresh(), "/api/auth/refresh"},
        {APIEndpoint::authSignOut(), "/api/auth/signout"},
        {APIEndpoint::teams(), "/api/teams"},
        {APIEndpoint::pendingInvitations(), "/api/invitations/pending"},
        {APIEndpoint::syncPush(), "/api/sync/push"},
        {APIEndpoint::syncPull(), "/api/sync/pull"},
        {APIEndpoint::authMe(), "/api/auth/me"},
        {APIEndpoint::feedback(), "/api/feedback"},
        {APIEndpoint::referralsMe(), "/api/referrals/me"},
        {APIEndpoint::referralsApply(), "/api/referrals/apply"},
        {APIEndpoint::pendingInstallMatch(), "/api/pending-install/match"},
        {APIEndpoint::generate(), "/api/generate"},
    };
    for (const auto& [endpoint, path] : table) EXPECT_EQ(endpoint.path(), path);
}

TEST(AppEnvironment, ProductionIsTheBuildsEnvironmentAndIgnoresTheOverride) {
    platform::MemoryDefaults defaults;
    defaults.set(AppEnvironment::kBaseURLOverrideKey, "http://127.0.0.1:9/");
    const AppEnvironment production(AppEnvironment::kBuildKind, &defaults);
    EXPECT_TRUE(production.isProduction());
    EXPECT_EQ(production.displayName(), "Production");
    const std::string base = production.apiBaseURL();
    EXPECT_EQ(base.rfind("https://", 0), 0u);
    EXPECT_NE(base.back(), '/');
    EXPECT_EQ(url(production, APIEndpoint::teamMember(kTeam, kOther)),
              base + "/api/teams/" + kTeamText + "/members/" + kOtherText);
}

TEST(AppEnvironment, DevelopmentUsesTheOverrideUnchangedOrTheLocalServer) {
    platform::MemoryDefaults defaults;
    const AppEnvironment development(AppEnvironment::Kind::development, &defaults);
    EXPECT_EQ(url(development, APIEndpoint::syncPull()), "http://localhost:3000/api/sync/pull");

    defaults.set(AppEnvironment::kBaseURLOverrideKey, "http://127.0.0.1:8123/");
    EXPECT_EQ(url(development, APIEndpoint::teams()), "http://127.0.0.1:8123//api/teams");

    // Text that makes no URL with the path gives way to the local server rather than nowhere.
    defaults.set(AppEnvironment::kBaseURLOverrideKey, "not a url");
    EXPECT_EQ(url(development, APIEndpoint::feedback()), "http://localhost:3000/api/feedback");
    EXPECT_TRUE(development.url(APIEndpoint::feedback()).isValid());

    const AppEnvironment test(AppEnvironment::Kind::test, &defaults);
    EXPECT_EQ(test.apiBaseURL().rfind("https://", 0), 0u);
    EXPECT_NE(test.apiBaseURL(), AppEnvironment(AppEnvironment::Kind::production).apiBaseURL());
    // Only production waits two seconds before syncing a change.
    EXPECT_EQ(AppEnvironment(AppEnvironment::Kind::production).syncDebounceInterval(), 2.0);
    EXPECT_EQ(test.syncDebounceInterval(), 0.5);
    EXPECT_EQ(development.syncDebounceInterval(), 0.5);
    EXPECT_EQ(development.syncPollingInterval(), 15.0);
}

TEST(AppEnvironment, AppcastAddressIsOverriddenOnlyInDevelopment) {
    platform::MemoryDefaults defaults;
    defaults.set(AppEnvironment::kAppcastURLOverrideKey, "http://127.0.0.1:8123/appcast.xml");
    const AppEnvironment production(AppEnvironment::Kind::production, &defaults);
    EXPECT_EQ(production.appcastURL().scheme(), "https");
    EXPECT_NE(production.appcastURL(), AppEnvironment(AppEnvironment::Kind::test).appcastURL());

    const AppEnvironment development(AppEnvironment::Kind::development, &defaults);
    EXPECT_EQ(development.appcastURL().toString(), "http://127.0.0.1:8123/appcast.xml");
    // The base URL's override does not move the feed, and a feed override that is no URL falls back.
    defaults.set(AppEnvironment::kBaseURLOverrideKey, "http://127.0.0.1:9");
    defaults.set(AppEnvironment::kAppcastURLOverrideKey, "::nonsense::");
    EXPECT_EQ(development.appcastURL().toString(), "http://localhost:3000/appcast.xml");
}
