#pragma once
#include <chrono>
#include <memory>
#include <string>

#include <QObject>
#include <nlohmann/json.hpp>

#include "Accounts/AuthManager.h"
#include "Shell/Environment/AppEnvironment.h"
#include "Generation/AIGenerationViewModel.h"
#include "Generation/ProxyService.h"
#include "Networking/APIClient.h"
#include "desktop/QtMainQueue.h"
#include "platform/Clock.h"
#include "platform/MemoryDefaults.h"
#include "servers/GenerationRoutes.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakeWorkspace.h"
#include "support/NoTeams.h"

namespace generationtest {

constexpr const char* kAccessToken = "access-ada";

// Generation wired as the application wires it, against a fresh test backend: the one APIClient,
// an account manager that finds a signed-in account in its store (or none), a ProxyService of
// its own for every model, recorded analytics and the Qt main queue. The transfer time-out is
// short, so that a backend that never answers ends a test in seconds.
struct GenerationStack {
    explicit GenerationStack(bool signedIn = true) {
        if (signedIn)
            store.items() = {{sablix::AuthManager::kAccessTokenAccount, kAccessToken},
                             {sablix::AuthManager::kRefreshTokenAccount, "refresh-ada"},
                             {sablix::AuthManager::kTokenExpiryAccount, "4102444800.0"},  // 2100
                             {sablix::AuthManager::kUserIdAccount, "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D"},
                             {sablix::AuthManager::kUserDataAccount,
                              R"({"id":"5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D","email":"ada@example.com",)"
                              R"("displayName":"Ada","authProvider":"google","createdAt":"2025-03-01T10:00:00Z"})"}};
        auth = std::make_unique<sablix::AuthManager>(store, client, workspace, analytics, teams, clock, [] {});
    }

    bool start() {
        if (!backend.start()) return false;
        defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend.baseURL());
        return true;
    }
    // The generate route's script for the requests from now on (see GenerationRoutes.h).
    void script(const nlohmann::json& generate) { backend.reset(nlohmann::json{{"generate", generate}}); }
    nlohmann::json streams() const {
        return testservers::generationStreams(backend).value("streams", nlohmann::json());
    }
    void step() const { testservers::stepGenerationStream(backend); }

    sablix::AIGenerationViewModel* makeModel(QObject* parent) {
        const sablix::ProxyService::Timeouts timeouts(std::chrono::milliseconds(2000), std::chrono::seconds(30));
        return new sablix::AIGenerationViewModel(std::make_shared<sablix::ProxyService>(client, *auth, timeouts),
                                                 analytics, desktop::QtMainQueue::shared(), parent);
    }
    std::unique_ptr<sablix::AIGenerationViewModel> makeModel() {
        return std::unique_ptr<sablix::AIGenerationViewModel>(makeModel(nullptr));
    }

    testservers::TestBackend backend;
    platform::MemoryDefaults defaults;
    sablix::AppEnvironment environment{sablix::AppEnvironment::Kind::development, &defaults};
    sablix::APIClient client{environment};
    testsupport::FakeCredentialStore store;
    testsupport::FakeWorkspace workspace;
    testsupport::FakeAnalyticsTracking analytics;
    testsupport::NoTeams teams;
    platform::FakeClock clock{platform::Date::fromUnix(1767225600.0)};
    std::unique_ptr<sablix::AuthManager> auth;
};

}  // namespace generationtest
