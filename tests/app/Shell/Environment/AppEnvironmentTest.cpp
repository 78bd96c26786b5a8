#include <gtest/gtest.h>

#include "Shell/Environment/AppEnvironment.h"
#include "platform/MemoryDefaults.h"

using sablix::APIEndpoint;
using sablix::AppEnvironment;

namespace {

const platform::Uuid kTeam = *platform::Uuid::fromString("0f8fad5b-d9cb-469f-a165-70867728950e");
const platform::Uuid kOther = *platform::Uuid::fromString("7c9e6679-7425-40de-944b-e07fc1f90ae7");
const std::string kTeamPath = "/api/teams/0F8FAD5B-D9CB-469F-A165-70867728950E";
const std::string kOtherText = "7C9E6679-7425-40DE-944B-E07FC1F90AE7";

std::string url(const AppEnvironment& environment, const APIEndpoint& endpoint) {
    return environment.url(endpoint).toString().toStdString();
}

}  // namespace

// The paths without an identifier are proven by the tests that reach the test backend's routes.
TEST(APIEndpoint, PathsCarryUpperCaseIdentifiers) {
    const std::pair<APIEndpoint, std::string> table[] = {
        {APIEndpoint::team(kTeam), kTeamPath},
        {APIEndpoint::teamMembers(kTeam), kTeamPath + "/members"},
        {APIEndpoint::teamMember(kTeam, kOther), kTeamPath + "/members/" + kOtherText},
        {APIEndpoint::teamSnippets(kTeam), kTeamPath + "/snippets"},
        {APIEndpoint::teamSnippet(kTeam, kOther), kTeamPath + "/snippets/" + kOtherText},
    };
    for (const auto& [endpoint, path] : table) EXPECT_EQ(endpoint.path(), path);
}

// A stored address must never send a released build's tokens or updates elsewhere.
TEST(AppEnvironment, OnlyDevelopmentFollowsTheStoredAddresses) {
    static_assert(AppEnvironment::kBuildKind == AppEnvironment::Kind::production);
    platform::MemoryDefaults defaults;
    defaults.set(AppEnvironment::kBaseURLOverrideKey, "http://127.0.0.1:9/");
    defaults.set(AppEnvironment::kAppcastURLOverrideKey, "http://127.0.0.1:9/appcast.xml");
    const AppEnvironment production(AppEnvironment::Kind::production, &defaults);
    const AppEnvironment test(AppEnvironment::Kind::test, &defaults);
    EXPECT_NE(production.apiBaseURL(), test.apiBaseURL());
    EXPECT_NE(production.appcastURL(), test.appcastURL());
    for (const AppEnvironment* released : {&production, &test}) {
        SCOPED_TRACE(released->displayName());
        EXPECT_TRUE(released->apiBaseURL().starts_with("https://"));
        EXPECT_EQ(url(*released, APIEndpoint::teams()), released->apiBaseURL() + "/api/teams");
        EXPECT_EQ(released->appcastURL().scheme(), "https");
    }

    const AppEnvironment development(AppEnvironment::Kind::development, &defaults);
    EXPECT_EQ(url(development, APIEndpoint::teams()), "http://127.0.0.1:9//api/teams") << "used unchanged";
    EXPECT_EQ(development.appcastURL().toString(), "http://127.0.0.1:9/appcast.xml");
    // Text that makes no URL gives way to the local server rather than nowhere; the feed does not
    // follow the base address.
    defaults.set(AppEnvironment::kAppcastURLOverrideKey, "::nonsense::");
    EXPECT_EQ(development.appcastURL().toString(), "http://localhost:3000/appcast.xml");
    defaults.set(AppEnvironment::kBaseURLOverrideKey, "not a url");
    EXPECT_EQ(url(development, APIEndpoint::feedback()), "http://localhost:3000/api/feedback");
}
