#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "orbit/OrbitStorage.h"
#include "support/ModelsTestSupport.h"

namespace fs = std::filesystem;

namespace {

// The id of a process that has ended.
pid_t endedProcess() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

std::string temporaryOf(const std::string& key, pid_t writer, int serial) {
    return key + ".tmp-" + std::to_string(writer) + "-" + std::to_string(serial);
}

}  // namespace

// A write killed between its temporary file and the rename leaves the file behind; the next start
// removes such files of processes that are gone, and only those.
TEST(OrbitStorageTest, StartRemovesTheTemporaryFilesOfWritesThatNeverFinished) {
    modelstest::TempDir folder;
    modelstest::writeFile(folder.path() / "orbit.flags", R"({"beta":true})");
    const std::vector<std::string> leftovers = {temporaryOf("orbit.flags", endedProcess(), 0),
                                                temporaryOf("orbit.groups", endedProcess(), 17)};
    const std::vector<std::string> kept = {
        "orbit.flags",
        temporaryOf("orbit.requestId", ::getpid(), 3),   // this process may be writing it now
        temporaryOf("orbit.requestId", ::getppid(), 0),  // so may another running one
        "notes.tmp-12",
        "notes.tmp-12-x",
        "notes.tmp--12-1",
    };
    for (const auto& name : leftovers) modelstest::writeFile(folder.path() / name, "{\"half\":");
    for (const auto& name : kept)
        if (!fs::exists(folder.path() / name)) modelstest::writeFile(folder.path() / name, "{}");

    const orbit::OrbitStorage storage(folder.path());
    for (const auto& name : leftovers) EXPECT_FALSE(fs::exists(folder.path() / name)) << name;
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(folder.path() / name)) << name;
    EXPECT_EQ(storage.getJson(orbit::OrbitStorage::StorageKey::flags), nlohmann::json({{"beta", true}}));
}
