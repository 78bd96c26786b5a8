#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "posix/FilePages.h"
#include "support/ModelsTestSupport.h"

namespace {

constexpr size_t kPages = 16;

std::optional<posix::Mapping> mappingAt(const void* address) {
    std::ifstream file("/proc/self/smaps");
    std::ostringstream text;
    text << file.rdbuf();
    for (const auto& mapping : posix::mappingsFromSmaps(text.str()))
        if (mapping.start == reinterpret_cast<uintptr_t>(address)) return mapping;
    return std::nullopt;
}

// A library's code, and its data made read-only once relocated, both mapped from one file.
TEST(FilePagesTest, ReleasesUnchangedFilePagesAndKeepsChangedOnes) {
    modelstest::TempDir folder;
    const auto path = folder.path() / "library.so";
    const size_t size = kPages * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    std::string bytes(size, 'c');
    modelstest::writeFile(path, bytes);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    auto* code = static_cast<char*>(::mmap(nullptr, size, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0));
    auto* relocated = static_cast<char*>(::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0));
    ::close(fd);
    ASSERT_NE(code, MAP_FAILED);
    ASSERT_NE(relocated, MAP_FAILED);
    relocated[0] = 'r';
    ASSERT_EQ(::mprotect(relocated, size, PROT_READ), 0);
    volatile char sum = 0;
    for (size_t i = 0; i < size; i += 512) sum = sum + code[i] + relocated[i];
    ASSERT_GE(mappingAt(code)->residentKiB, size / 1024);

    ASSERT_TRUE(posix::releaseFilePages());

    EXPECT_EQ(mappingAt(code)->residentKiB, 0u);
    EXPECT_EQ(std::string(code, size), bytes);
    EXPECT_EQ(relocated[0], 'r');
    EXPECT_EQ(std::string(relocated + 1, size - 1), bytes.substr(1));
    ::munmap(code, size);
    ::munmap(relocated, size);
}

TEST(FilePagesTest, OnlyMappingsOfRegularFilesWithoutChangesQualify) {
    const auto mappings = posix::mappingsFromSmaps(
        "55d0a000-55d0b000 r-xp 00001000 08:01 42   /opt/My Apps/lib one.so\n"
        "Rss:                  4 kB\n"
        "Anonymous:            0 kB\n"
        "Locked:               0 kB\n"
        "VmFlags: rd ex mr mw me\n"
        "55d0b000-55d0c000 r--p 00002000 08:01 42   /opt/My Apps/lib one.so\n"
        "Anonymous:            4 kB\n"
        "55d0c000-55d0d000 rw-p 00003000 08:01 42   /opt/My Apps/lib one.so\n"
        "7f000000-7f001000 r--s 00000000 00:01 7    /memfd:wayland (deleted)\n"
        "7f001000-7f002000 r--p 00000000 08:01 9    /usr/lib/old.so (deleted)\n"
        "7f002000-7f003000 r--s 00000000 00:05 3    /dev/dri/card0\n"
        "7f003000-7f004000 r--p 00000000 08:01 5    /usr/share/fonts/a.ttf\n"
        "Locked:               4 kB\n"
        "7f004000-7f005000 rw-p 00000000 00:00 0    [heap]\n"
        "7f005000-7f006000 r--p 00000000 00:00 0\n"
        "garbage line without meaning\n"
        "zz-yy r--p 0 0 0 /broken\n"
        "7f006000-7f007000 r--p 00000000 08:01 6    /usr/share/fonts/b.ttf");
    std::vector<std::string> released;
    for (const auto& mapping : mappings)
        if (posix::holdsOnlyFileBytes(mapping)) released.push_back(mapping.path);
    EXPECT_EQ(mappings.size(), 10u);
    EXPECT_EQ(released, (std::vector<std::string>{"/opt/My Apps/lib one.so", "/usr/share/fonts/b.ttf"}));
}

}  // namespace
