#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "crashreporter/OBCrashAsync.h"
#include "crashreporter/OBCrashAsyncByteOrder.h"
#include "crashreporter/OBCrashAsyncFile.h"

namespace {

// A descriptor whose next writes write nothing, as some devices answer.
std::atomic<int> stallingFd{-1};
std::atomic<int> stallsLeft{0};

}  // namespace

// The C library's write, for every caller in this program: it passes each call to the kernel but
// the stalled ones, which no file here can be made to give.
extern "C" ssize_t write(int fd, const void* data, size_t length) {
    if (fd == stallingFd.load() && stallsLeft.load() > 0) {
        stallsLeft.fetch_sub(1);
        return 0;
    }
    return static_cast<ssize_t>(syscall(SYS_write, fd, data, length));
}

namespace {

// Three pages: readable, PROT_NONE, then a hole where nothing is mapped.
class TaskMemory : public ::testing::Test {
protected:
    void SetUp() override {
        page = static_cast<size_t>(getpagesize());
        void* map = mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(map, MAP_FAILED);
        base = static_cast<uint8_t*>(map);
        for (size_t i = 0; i < page; ++i) base[i] = static_cast<uint8_t>(i * 7);
        ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
        ASSERT_EQ(munmap(base + 2 * page, page), 0);
    }
    void TearDown() override { munmap(base, 2 * page); }

    ob_vm_address_t at(size_t offset) const { return reinterpret_cast<uintptr_t>(base) + offset; }

    size_t page = 0;
    uint8_t* base = nullptr;
};

TEST_F(TaskMemory, ReadsWhatIsReadableAndNamesWhyTheRestIsNot) {
    const ob_task_t self = ob_mach_task_self();
    std::vector<uint8_t> out(page);
    ASSERT_EQ(obcrash_async_task_memcpy(self, at(page), -static_cast<ob_vm_off_t>(page), out.data(), page), OBCRASH_OK);
    EXPECT_EQ(std::vector<uint8_t>(base, base + page), out);

    uint8_t byte = 0;
    EXPECT_EQ(obcrash_async_task_read_uint8(self, at(page), 0, &byte), OBCRASH_ACCESS_DENIED);
    EXPECT_EQ(obcrash_async_task_read_uint8(self, at(2 * page), 0, &byte), OBCRASH_NOT_FOUND);
    // A range that starts readable and runs on: the first byte it cannot read decides.
    EXPECT_EQ(obcrash_async_task_memcpy(self, at(page - 4), 0, out.data(), 8), OBCRASH_ACCESS_DENIED);
    uint64_t wide = 0;
    EXPECT_EQ(obcrash_async_task_read_uint64(self, obcrash_async_byteorder_little_endian(), 0, 16, &wide),
              OBCRASH_NOT_FOUND);
    EXPECT_EQ(obcrash_async_task_memcpy(self, UINT64_MAX - 2, 8, out.data(), 1), OBCRASH_NO_MEMORY);

    base[0] = 0x12;
    base[1] = 0x34;
    base[2] = 0x56;
    base[3] = 0x78;
    uint32_t value = 0;
    ASSERT_EQ(obcrash_async_task_read_uint32(self, obcrash_async_byteorder_big_endian(), at(0), 0, &value), OBCRASH_OK);
    EXPECT_EQ(value, 0x12345678u);
    ASSERT_EQ(obcrash_async_task_read_uint32(self, obcrash_async_byteorder_little_endian(), at(0), 0, &value),
              OBCRASH_OK);
    EXPECT_EQ(value, 0x78563412u);
}

TEST(AsyncPrimitives, AddressArithmeticStaysInsideTheAddressSpace) {
    ob_vm_address_t result = 99;
    EXPECT_FALSE(obcrash_async_address_apply_offset(0x10, -0x20, &result));
    EXPECT_FALSE(obcrash_async_address_apply_offset(UINT64_MAX - 15, 0x20, &result));
    EXPECT_EQ(result, 99u);
    EXPECT_TRUE(obcrash_async_address_apply_offset(UINT64_MAX, INT64_MIN, &result));
    EXPECT_EQ(result, 0x7fffffffffffffffu);
    EXPECT_TRUE(obcrash_async_address_apply_offset(0x10, -0x10, &result));
    EXPECT_EQ(result, 0u);
    EXPECT_TRUE(obcrash_async_address_apply_offset(UINT64_MAX - 15, 15, nullptr));

    EXPECT_STREQ(obcrash_async_strerror(OBCRASH_INVALID_DATA), "The input data is in an unknown or invalid format.");
    EXPECT_STREQ(obcrash_async_strerror(static_cast<obcrash_error_t>(42)), "Unhandled error code");
    EXPECT_LT(obcrash_async_strcmp("abc", "ab\xff"), 0);
    EXPECT_EQ(obcrash_async_strncmp("abcX", "abcY", 3), 0);
    EXPECT_EQ(obcrash_async_strncmp("ab", "ab", 10), 0);
    EXPECT_GT(obcrash_async_strncmp("abd", "abc", 10), 0);
}

class BufferedFile : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/obcrash-file-XXXXXX";
        fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        path = name;
    }
    void TearDown() override { unlink(path.c_str()); }

    off_t onDisk() const {
        struct stat st {};
        stat(path.c_str(), &st);
        return st.st_size;
    }

    int fd = -1;
    std::string path;
    obcrash_async_file_t file{};
};

TEST_F(BufferedFile, BuffersUpTo256BytesAndWritesLargerDataThrough) {
    const std::vector<char> data(600, 'x');
    obcrash_async_file_init(&file, fd, 0);
    ASSERT_TRUE(obcrash_async_file_write(&file, data.data(), 256));
    EXPECT_EQ(onDisk(), 0);
    // The full buffer goes out first, then the 257 bytes straight to the descriptor.
    ASSERT_TRUE(obcrash_async_file_write(&file, data.data(), 257));
    EXPECT_EQ(onDisk(), 513);
    ASSERT_TRUE(obcrash_async_file_write(&file, data.data(), 250));
    ASSERT_TRUE(obcrash_async_file_write(&file, data.data(), 10));
    EXPECT_EQ(onDisk(), 763);
    EXPECT_EQ(file.buflen, 10u);
    ASSERT_TRUE(obcrash_async_file_close(&file));
    EXPECT_EQ(onDisk(), 773);
}

TEST_F(BufferedFile, RefusesWholeWritesPastTheLimitAndFailsOnABadDescriptor) {
    const std::vector<char> data(100, 'y');
    obcrash_async_file_init(&file, fd, 100);
    EXPECT_TRUE(obcrash_async_file_write(&file, data.data(), 60));
    EXPECT_FALSE(obcrash_async_file_write(&file, data.data(), 50));
    EXPECT_EQ(file.total_bytes, 60u);
    EXPECT_TRUE(obcrash_async_file_write(&file, data.data(), 40));
    EXPECT_FALSE(obcrash_async_file_write(&file, data.data(), 1));
    ASSERT_TRUE(obcrash_async_file_close(&file));
    EXPECT_EQ(onDisk(), 100);

    // The descriptor is closed now: the buffered bytes stay and every step reports the failure.
    obcrash_async_file_init(&file, fd, 0);
    EXPECT_TRUE(obcrash_async_file_write(&file, data.data(), 10));
    EXPECT_FALSE(obcrash_async_file_flush(&file));
    EXPECT_EQ(file.buflen, 10u);
    EXPECT_FALSE(obcrash_async_file_write(&file, data.data(), 300));
    EXPECT_LT(obcrash_async_writen(fd, data.data(), 1), 0);
    EXPECT_EQ(obcrash_async_writen(fd, data.data(), 0), 0);
}

// A write that writes nothing is tried once more: once is a stall the next write gets past, twice
// in a row is a file that takes nothing, and a failure rather than a loop.
TEST(AsyncPrimitives, AWriteOfNothingIsTriedOnceMore) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    stallingFd = fds[1];
    stallsLeft = 1;
    EXPECT_EQ(obcrash_async_writen(fds[1], "abc", 3), 3);
    char got[4] = {};
    ASSERT_EQ(read(fds[0], got, 3), 3);
    EXPECT_STREQ(got, "abc");
    stallsLeft = 2;
    EXPECT_EQ(obcrash_async_writen(fds[1], "abc", 3), -1);
    EXPECT_EQ(stallsLeft.load(), 0);
    stallingFd = -1;
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
