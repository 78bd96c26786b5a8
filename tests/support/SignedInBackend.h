#pragma once
#include <string>

#include "Accounts/AuthManager.h"
#include "Networking/APIClient.h"
#include "Shell/Environment/AppEnvironment.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeCredentialStore.h"
#include "support/LogCapture.h"

namespace testsupport {

// Where the tests of the team views start from: the test backend's fixture, a client pointed at it
// once the backend is started (pointAtBackend), and a keychain that signs Rowan in when an
// AuthManager is made over it. A fixture derives from it, so these exist before its services.
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
};

}  // namespace testsupport
