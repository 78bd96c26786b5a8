#pragma once
#include <string>

#include "Accounts/AuthManager.h"
#include "Networking/APIClient.h"
#include "Shell/Environment/AppEnvironment.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "Teams/TeamManager.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakeWorkspace.h"
#include "support/LogCapture.h"
#include "support/ModelsTestSupport.h"

namespace testsupport {

// Where the tests of the team views start from: the test backend's fixture, a client pointed at it
// once the backend is started (pointAtBackend), and Rowan signed in to the account and team
// services over it. A fixture derives from it, so these exist before its own services.
struct SignedInBackend {
    static constexpr const char* kRowanId = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";

    static nlohmann::json fixture() {
        return testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json");
    }
    void pointAtBackend() { defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend.baseURL()); }

    LogCapture logs;
    testservers::TestBackend backend;
    platform::MemoryDefaults defaults;
    sablix::AppEnvironment environment{sablix::AppEnvironment::Kind::development, &defaults};
    sablix::APIClient client{environment};
    FakeCredentialStore keychain = [] {
        FakeCredentialStore signedIn;
        signedIn.items() = {
            {sablix::AuthManager::kAccessTokenAccount, "access-rowan-1"},
            {sablix::AuthManager::kRefreshTokenAccount, "refresh-rowan-1"},
            {sablix::AuthManager::kTokenExpiryAccount, "4070908800.0"},
            {sablix::AuthManager::kUserIdAccount, kRowanId},
            {sablix::AuthManager::kUserDataAccount, fixture()["auth"]["accounts"]["access-rowan-1"].dump()}};
        return signedIn;
    }();
    FakeWorkspace workspace;
    FakeAnalyticsTracking analytics;
    platform::FakeClock clock{platform::Date::fromUnix(1767225600.0)};
    modelstest::TempDir folder;
    sablix::TeamSnippetCache cache{folder.path() / "team_snippets.db"};
    sablix::AuthManager auth{keychain, client, workspace, analytics, teams, clock, nullptr};
    sablix::TeamManager teams{auth, client, cache, analytics};
};

}  // namespace testsupport
