#pragma once
#include <filesystem>
#include <memory>
#include <string>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "Sync/SyncService.h"
#include "Sync/TeamSnippetCache.h"
#include "desktop/QtMainQueue.h"
#include "platform/MemoryDefaults.h"
#include "support/ChildProcess.h"
#include "support/FakePathMonitor.h"

namespace sablix::teamdb {

inline platform::Date at(const char* iso) { return *platform::Date::fromIso8601(iso); }

// A database file in a fresh temporary folder, and the sqlite3 shell to look into it as
// another process would.
class TeamDbTest : public ::testing::Test {
protected:
    std::filesystem::path folder() const { return dir_.path().toStdString(); }
    std::filesystem::path databasePath() const { return folder() / "Sablix" / "team_snippets.db"; }

    // Runs SQL through the sqlite3 shell and returns what it prints (list mode, "|" between columns).
    std::string shell(const std::string& sql) const {
        int exitCode = -1;
        std::string out = testsupport::runCommand({"sqlite3", databasePath().string(), sql}, &exitCode);
        EXPECT_EQ(exitCode, 0) << sql;
        return out;
    }

    SnippetItem snippet(const std::string& title, std::optional<platform::Uuid> team,
                        std::optional<platform::Date> deletedAt = std::nullopt) const {
        return SnippetItem(platform::Uuid::generate(), title, "content of " + title, {"Work", "Mail"}, team,
                           platform::Uuid::generate(), SnippetVisibility::team, 3, at("2024-02-01T08:00:00Z"),
                           at("2024-02-03T09:10:11Z"), deletedAt);
    }

private:
    QTemporaryDir dir_;
};

// The sync service over that database, with a network monitor the test switches, a clock that
// stands still and a sign-in token that fails while tokenFailure_ is set.
class SyncServiceFixture : public TeamDbTest {
protected:
    void setConnected(bool connected) {
        platform::NetworkPath path;
        path.satisfied = connected;
        testsupport::FakePathMonitor::report(*pathState_, path);
        QCoreApplication::processEvents();
    }

    platform::MemoryDefaults defaults_;
    AppEnvironment environment_{AppEnvironment::Kind::development, &defaults_};
    APIClient client_{environment_};
    TeamSnippetCache cache_{databasePath()};
    std::unique_ptr<testsupport::FakePathMonitor> monitor_ = std::make_unique<testsupport::FakePathMonitor>();
    std::shared_ptr<testsupport::FakePathMonitor::State> pathState_ = monitor_->state();
    NetworkMonitor network_{std::move(monitor_), desktop::QtMainQueue::shared()};
    platform::FakeClock clock_{at("2026-03-01T09:00:00Z")};
    int refreshes_ = 0;  // of the engine's snippet cache
    std::string tokenFailure_;
    // Whose bearer "token-rowan" is.
    std::optional<platform::Uuid> signedInUser_ = platform::Uuid::fromString("5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D");
    SyncService service_{{.cache = cache_,
                          .client = client_,
                          .accessToken = [this]() -> QCoro::Task<std::string> {
                              if (!tokenFailure_.empty()) throw std::runtime_error(tokenFailure_);
                              co_return std::string("token-rowan");
                          },
                          .network = network_,
                          .defaults = defaults_,
                          .clock = clock_,
                          .refreshSnippetCache = [this] { ++refreshes_; },
                          .signedInUser = [this] { return signedInUser_; }}};
};

}  // namespace sablix::teamdb
