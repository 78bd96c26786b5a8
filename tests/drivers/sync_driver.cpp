// A process that runs the sync service over a real database file, for tests that kill it half
// way. Usage: sablix_sync_driver <backend base URL> <database file> <team id> [<snippets to create>]
// It saves and queues the given number of new team snippets, runs one sync cycle and exits 0 when
// the cycle ended synced with nothing of the team left queued, 1 otherwise.
#include <cstdio>
#include <string>

#include <QCoreApplication>
#include <QCoro/QCoroTask>

#include "Shell/Network/NetworkMonitor.h"
#include "Networking/APIClient.h"
#include "Sync/SyncService.h"
#include "Sync/TeamSnippetCache.h"
#include "desktop/QtMainQueue.h"
#include "platform/MemoryDefaults.h"

namespace {

// The machine counts as online throughout.
class SilentPathMonitor final : public platform::PathMonitor {
public:
    void start(Handler) override {}
    void cancel() override {}
};

QCoro::Task<std::string> driverToken() { co_return std::string("sync-driver"); }
// Whose bearer that is: the changes the driver queues are this user's.
constexpr const char* kDriverUser = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <base URL> <database> <team id> [<count>]\n", argv[0]);
        return 2;
    }
    const auto team = platform::Uuid::fromString(argv[3]);
    if (!team) return 2;
    const int count = argc > 4 ? std::stoi(argv[4]) : 0;

    platform::MemoryDefaults defaults;
    defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, std::string(argv[1]));
    sablix::AppEnvironment environment(sablix::AppEnvironment::Kind::development, &defaults);
    sablix::APIClient client(environment);
    sablix::TeamSnippetCache cache(argv[2]);
    sablix::NetworkMonitor network(std::make_unique<SilentPathMonitor>(), desktop::QtMainQueue::shared());
    const platform::SystemClock clock;
    sablix::SyncService sync({.cache = cache,
                              .client = client,
                              .accessToken = driverToken,
                              .network = network,
                              .defaults = defaults,
                              .clock = clock,
                              .refreshSnippetCache = nullptr,
                              .signedInUser = [] { return platform::Uuid::fromString(kDriverUser); }});

    for (int i = 0; i < count; ++i) {
        const sablix::SnippetItem snippet(platform::Uuid::generate(), "driven" + std::to_string(i),
                                          "driven content " + std::to_string(i), {"Driver"}, team, std::nullopt,
                                          sablix::SnippetVisibility::team, 1, clock.now(), clock.now(), std::nullopt);
        if (!sync.saveAndQueueChange(snippet, sablix::PendingOperation::create)) return 1;
    }
    std::printf("queued %d\n", count);
    std::fflush(stdout);
    sync.stopSync();  // the cycle below is the only one
    QCoro::waitFor(sync.performSync(*team));

    int left = 0;
    for (const auto& operation : cache.getPendingSyncOperations())
        if (operation.teamId == team) ++left;
    std::printf("state %s, %d left\n", sync.syncStateName().toStdString().c_str(), left);
    return sync.syncState().kind == sablix::SyncService::SyncState::Kind::synced && left == 0 ? 0 : 1;
}
