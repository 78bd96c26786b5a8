#pragma once
#include <filesystem>
#include <string>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "Models/Sync/TeamSnippetCache.h"
#include "support/ChildProcess.h"

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

}  // namespace sablix::teamdb
