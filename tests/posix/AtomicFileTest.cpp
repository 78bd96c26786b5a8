#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "posix/AtomicFile.h"
#include "support/ModelsTestSupport.h"

namespace fs = std::filesystem;
using modelstest::readFile;
using modelstest::writeFile;

namespace {

constexpr mode_t kPrivate = 0600;
constexpr rlim_t kFileSizeLimit = 512;
const std::string kOldBytes = "the bytes that were there";
const std::string kNewBytes(4 * kFileSizeLimit, 'n');

// Everything below the folder: each file's bytes, each folder as "<folder>".
std::map<std::string, std::string> contentsOf(const fs::path& folder) {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        found[fs::relative(entry.path(), folder).string()] = entry.is_directory() ? "<folder>" : readFile(entry.path());
    return found;
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// Writes in a child process whose files cannot grow past the limit, as on a full disk. With
// SIGXFSZ ignored the write fails and the child exits with its error; left to its default, the
// signal kills the child in the middle of the write.
int writeInChildWithSizeLimit(const fs::path& target, bool killedMidway) {
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::signal(SIGXFSZ, killedMidway ? SIG_DFL : SIG_IGN);
        const rlimit limit{kFileSizeLimit, kFileSizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(posix::writeFileAtomically(target, kNewBytes, kPrivate, posix::Existing::replace).error);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (killedMidway) return WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ ? child : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// A new file gets the mode asked for, even with no umask to narrow it, and a replaced file takes
// the new mode with the new bytes; nothing else is left in the folder.
TEST(AtomicFileTest, WritesWholeFilesWithTheModeAskedFor) {
    modelstest::TempDir folder;
    const mode_t oldMask = ::umask(0);
    const auto fresh = folder.path() / "fresh";
    const auto replaced = folder.path() / "replaced";
    writeFile(replaced, kOldBytes);
    ::chmod(replaced.c_str(), 0644);
    const auto freshWritten = posix::writeFileAtomically(fresh, kNewBytes, kPrivate, posix::Existing::keep);
    const auto replacedWritten = posix::writeFileAtomically(replaced, "new", kPrivate, posix::Existing::replace);
    ::umask(oldMask);

    EXPECT_TRUE(freshWritten) << freshWritten.message();
    EXPECT_TRUE(replacedWritten) << replacedWritten.message();
    EXPECT_EQ(contentsOf(folder.path()),
              (std::map<std::string, std::string>{{"fresh", kNewBytes}, {"replaced", "new"}}));
    EXPECT_EQ(modeOf(fresh), kPrivate);
    EXPECT_EQ(modeOf(replaced), kPrivate);
}

// Whichever step fails, the write reports that step's error, the target is as it was and no
// temporary file is left behind.
TEST(AtomicFileTest, AFailedWriteLeavesTheFolderAsItWas) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& target)> prepare;
        std::function<int(const fs::path& target)> write;
        int error;
    };
    const auto writeReplacing = [](const fs::path& target) {
        return posix::writeFileAtomically(target, kNewBytes, kPrivate, posix::Existing::replace).error;
    };
    const auto writeKeeping = [](const fs::path& target) {
        return posix::writeFileAtomically(target, kNewBytes, kPrivate, posix::Existing::keep).error;
    };
    const auto existingFile = [](const fs::path& target) { writeFile(target, kOldBytes); };
    const Case cases[] = {
        {"the folder is missing", [](const fs::path& target) { fs::remove(target.parent_path()); }, writeReplacing,
         ENOENT},
        {"the bytes do not fit", existingFile,
         [](const fs::path& target) { return writeInChildWithSizeLimit(target, false); }, EFBIG},
        {"a folder stands at the target",
         [](const fs::path& target) {
             fs::create_directory(target);
             writeFile(target / "inside", kOldBytes);
         },
         writeReplacing, EISDIR},
        {"the file there is to be kept", existingFile, writeKeeping, EEXIST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        modelstest::TempDir root;
        const auto folder = root.path() / "folder";
        fs::create_directory(folder);
        const auto target = folder / "target";
        c.prepare(target);
        const auto before = contentsOf(root.path());
        EXPECT_EQ(c.write(target), c.error);
        EXPECT_EQ(contentsOf(root.path()), before);
    }
}

// A write killed before its rename leaves the target as it was and its temporary beside it,
// named so that the cleanup at the next start knows it for one whose writer is gone.
TEST(AtomicFileTest, AWriteKilledMidwayLeavesATemporaryTheCleanupRecognises) {
    modelstest::TempDir folder;
    const auto target = folder.path() / "target";
    writeFile(target, kOldBytes);
    const pid_t writer = writeInChildWithSizeLimit(target, true);
    ASSERT_GT(writer, 0) << "the write was not killed by SIGXFSZ";

    auto found = contentsOf(folder.path());
    EXPECT_EQ(found.extract("target").mapped(), kOldBytes);
    ASSERT_EQ(found.size(), 1u);
    const std::string temporary = found.begin()->first;
    EXPECT_EQ(temporary.rfind("target.tmp-", 0), 0u) << temporary;
    EXPECT_EQ(posix::temporaryWriter(temporary), writer);
    EXPECT_TRUE(posix::isAbandonedTemporary(temporary));
    EXPECT_FALSE(posix::isAbandonedTemporary("target.tmp-" + std::to_string(::getpid()) + "-0"))
        << "a running writer's temporary was taken for an abandoned one";
}
