// Team sync against the sqlite3 program doing the same work on the same schema:
// - applying a first pull of 10,000 snippets (each row and its metadata row), against the same
//   inserts run by sqlite3 in one transaction (goal: at most 3);
// - reading the 10,000 snippets of a team as the keystroke engine does, against sqlite3's SELECT
//   of the same rows (goal: at most 2).
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "RatioReporter.h"
#include "Sync/TeamSnippetCache.h"
#include "platform/Clock.h"

namespace {

// Dates the benchmark's snippets.
const platform::FakeClock kClock;

using platform::Uuid;
using sablix::SnippetItem;
using sablix::TeamSnippetCache;

constexpr int kSnippets = 10000;
const Uuid kTeam = Uuid::generate();
const auto kDate = *platform::Date::fromIso8601("2026-03-01T10:00:00Z");

std::filesystem::path folder() {
    static const auto path = std::filesystem::temp_directory_path() / ("sync_pull_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    return path;
}

const std::vector<SnippetItem>& pulled() {
    static const auto snippets = [] {
        std::vector<SnippetItem> out;
        for (int i = 0; i < kSnippets; ++i)
            out.emplace_back(Uuid::generate(), "trigger" + std::to_string(i),
                             "Content of snippet " + std::to_string(i) + ", a line or two of ordinary text.",
                             std::vector<std::string>{"work", "team"}, kTeam, Uuid::generate(),
                             sablix::SnippetVisibility::team, 2, kDate, kDate, std::nullopt);
        return out;
    }();
    return snippets;
}

// A fresh database file holding the schema only.
std::filesystem::path freshDatabase(const std::string& name) {
    const auto path = folder() / name;
    std::filesystem::remove(path);
    TeamSnippetCache(path).open();
    return path;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// The same rows as the pull writes, as SQL text for the sqlite3 program, in one transaction.
const std::filesystem::path& insertScript() {
    static const auto path = [] {
        const auto file = folder() / "inserts.sql";
        std::ofstream out(file);
        out << "BEGIN;\n";
        const std::string synced = quoted(kDate.iso8601());
        for (const auto& s : pulled()) {
            out << "INSERT OR REPLACE INTO team_snippets (id, team_id, owner_id, snippet_title, snippet_content, tags, "
                   "visibility, version, created_at, updated_at, deleted_at) VALUES ("
                << quoted(s.id.toString()) << "," << quoted(kTeam.toString()) << "," << quoted(s.ownerId->toString())
                << "," << quoted(s.snippetTitle) << "," << quoted(s.snippet) << ",'[\"work\",\"team\"]','team',2,"
                << synced << "," << synced << ",NULL);\n";
            out << "INSERT OR REPLACE INTO sync_metadata (snippet_id, sync_status, last_synced_at, "
                   "last_modified_locally, server_version, pending_operation, conflict_data) VALUES ("
                << quoted(s.id.toString()) << ",'synced'," << synced << ",NULL,2,NULL,NULL);\n";
        }
        out << "COMMIT;\n";
        return file;
    }();
    return path;
}

void runSqlite(const std::filesystem::path& database, const std::string& input, benchmark::State& state) {
    const std::string command = "sqlite3 " + database.string() + " " + input + " > /dev/null";
    if (std::system(command.c_str()) != 0) state.SkipWithError("sqlite3 failed");
}

void BM_ApplyPull(benchmark::State& state) {
    const auto& snippets = pulled();
    for (auto _ : state) {
        state.PauseTiming();
        const auto path = freshDatabase("apply.db");
        TeamSnippetCache cache(path);
        cache.open();
        state.ResumeTiming();
        cache.applyPull(snippets, {}, kClock);
    }
}
BENCHMARK(BM_ApplyPull)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Sqlite3Inserts(benchmark::State& state) {
    const auto& script = insertScript();
    for (auto _ : state) {
        state.PauseTiming();
        const auto path = freshDatabase("shell.db");
        state.ResumeTiming();
        runSqlite(path, "< " + script.string(), state);
    }
}
BENCHMARK(BM_Sqlite3Inserts)->Unit(benchmark::kMillisecond)->UseRealTime();

std::filesystem::path filledDatabase() {
    static const auto path = [] {
        const auto file = freshDatabase("read.db");
        TeamSnippetCache cache(file);
        cache.open();
        cache.applyPull(pulled(), {}, kClock);
        return file;
    }();
    return path;
}

void BM_GetSnippets(benchmark::State& state) {
    TeamSnippetCache cache(filledDatabase());
    cache.open();
    for (auto _ : state) {
        auto snippets = cache.getSnippets(kTeam, false);
        if (static_cast<int>(snippets.size()) != kSnippets) state.SkipWithError("wrong number of snippets");
        benchmark::DoNotOptimize(snippets);
    }
}
BENCHMARK(BM_GetSnippets)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Sqlite3Select(benchmark::State& state) {
    const auto path = filledDatabase();
    const std::string select =
        "\"SELECT id, team_id, owner_id, snippet_title, snippet_content, tags, visibility, "
        "version, created_at, updated_at, deleted_at FROM team_snippets WHERE team_id = '" +
        kTeam.toString() + "' AND deleted_at IS NULL\"";
    for (auto _ : state) runSqlite(path, select, state);
}
BENCHMARK(BM_Sqlite3Select)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    const int status = runBenchmarksWithRatios(
        argc, argv,
        {{"apply a pull of 10,000 snippets : sqlite3 inserting them in one transaction (goal <= 3)",
          "BM_ApplyPull/real_time", "BM_Sqlite3Inserts/real_time"},
         {"read 10,000 team snippets : sqlite3 SELECT of them (goal <= 2)", "BM_GetSnippets/real_time",
          "BM_Sqlite3Select/real_time"}});
    std::filesystem::remove_all(folder());
    return status;
}
