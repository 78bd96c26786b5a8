// Writes cut short by a crash or a kill leave their temporary files beside the files they were
// to replace; the next start of the real `sablix` binary removes every one that is not its own,
// in each folder it writes that way, and nothing else.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/SablixSession.h"
#include "support/XvfbServer.h"

namespace fs = std::filesystem;

namespace {

// The folder of the analytics client's stored values, wherever under the data folder it is.
fs::path analyticsFolder(const fs::path& data) {
    for (const auto& entry : fs::recursive_directory_iterator(data))
        if (entry.path().filename() == "orbit.anonymousId") return entry.path().parent_path();
    return {};
}

}  // namespace

TEST(LeftoversE2E, AStartRemovesTheTemporaryFilesOfEveryOtherWriter) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.startWindowManager());
    e2e::SablixSession session(server.display());
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(session.waitForLog(e2e::SablixSession::kTapRunning)) << session.log();
    ASSERT_EQ(session.stop(), 0);

    const fs::path data = session.dataFolder().parent_path();
    const fs::path settings = data.parent_path() / "config" / "sablix";
    const fs::path analytics = analyticsFolder(data);
    ASSERT_FALSE(analytics.empty());
    // A writer that is gone, and one whose number a running process (the first one) has now.
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    std::vector<fs::path> leftovers, kept;
    for (const pid_t writer : {gone, pid_t(1)}) {
        const std::string tail = ".tmp-" + std::to_string(writer) + "-0";
        leftovers.push_back(settings / ("defaults.json" + tail));
        leftovers.push_back(session.dataFolder() / ("credentials.json" + tail));
        leftovers.push_back(analytics / ("orbit.anonymousId" + tail));
        leftovers.push_back(analytics / "orbit.queueFolder.uuid" / ("RECORD" + tail));
    }
    fs::create_directories(session.dataFolder());
    fs::create_directories(analytics / "orbit.queueFolder.uuid");
    kept.push_back(settings / "notes.tmp-1-x");
    kept.push_back(settings / "notes.tmp-1");
    for (const auto& file : leftovers) std::ofstream(file) << "{\"half\":";
    for (const auto& file : kept) std::ofstream(file) << "mine";

    ASSERT_TRUE(session.start());
    ASSERT_TRUE(session.waitForLog(e2e::SablixSession::kTapRunning)) << session.log();
    for (const auto& file : leftovers) EXPECT_FALSE(fs::exists(file)) << file;
    for (const auto& file : kept) EXPECT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(session.stop(), 0);
    if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", session.log().c_str());
}
