#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/BackupFile.h"
#include "support/ModelsTestSupport.h"

using modelstest::readFile;
namespace fs = std::filesystem;

// Each copy may hold values the others lack: a later one never replaces an earlier one, even
// one made in the same second under the same name. Copies of the user's data are private.
TEST(BackupFileTest, EveryCopyGetsANameOfItsOwnAndFailuresSayWhy) {
    modelstest::TempDir dir;
    const fs::path stem = dir.path() / "library-unreadable-1700000000";
    std::vector<fs::path> written;
    for (const std::string& bytes :
         {std::string("first"), std::string("second\0with a NUL", 17), std::string("third")}) {
        const auto backup = platform::writeBackupFile(stem, ".json", bytes);
        ASSERT_TRUE(backup) << backup.error;
        EXPECT_EQ(readFile(backup.path), bytes);
        written.push_back(backup.path);
    }
    EXPECT_EQ(written, (std::vector<fs::path>{dir.path() / "library-unreadable-1700000000.json",
                                              dir.path() / "library-unreadable-1700000000-1.json",
                                              dir.path() / "library-unreadable-1700000000-2.json"}));
    EXPECT_EQ(readFile(written[0]), "first");
    struct stat st {};
    ASSERT_EQ(::stat(written[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const auto failed = platform::writeBackupFile(dir.path() / "missing" / "copy", "", "bytes");
    EXPECT_FALSE(failed);
    EXPECT_TRUE(failed.path.empty());
    EXPECT_EQ(failed.error, "No such file or directory");
}
