#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "crashreporter/OBCrashAsyncMachO.h"
#include "support/ChildProcess.h"

namespace {

std::string fixture(const std::string& name) { return std::string(OBCRASH_MACHO_FIXTURES) + "/" + name; }

// Places a Mach-O file's segments in memory the way the loader would: a dylib anywhere (or at
// `at`, over what is mapped there), an executable at its link address. The pages stay writable so
// that tests can corrupt them.
class LoadedMachO {
public:
    LoadedMachO(const std::string& path, bool atLinkAddress, void* at = nullptr) {
        std::ifstream in(path, std::ios::binary);
        file_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (file_.size() < 32) return;
        uint32_t ncmds, sizeofcmds;
        std::memcpy(&ncmds, &file_[16], 4);
        std::memcpy(&sizeofcmds, &file_[20], 4);
        struct Segment {
            uint64_t vmaddr, vmsize, fileoff, filesize;
        };
        std::vector<Segment> segments;
        uint64_t low = UINT64_MAX, high = 0;
        for (size_t at = 32, i = 0; i < ncmds && at + 8 <= 32 + sizeofcmds; ++i) {
            obcrash_macho_load_command_t lc;
            std::memcpy(&lc, &file_[at], sizeof(lc));
            if (lc.cmd == OBCRASH_LC_SEGMENT_64) {
                obcrash_macho_segment_command_64_t sc;
                std::memcpy(&sc, &file_[at], sizeof(sc));
                if (sc.initprot != 0) {  // not __PAGEZERO
                    segments.push_back({sc.vmaddr, sc.vmsize, sc.fileoff, sc.filesize});
                    low = std::min(low, sc.vmaddr);
                    high = std::max(high, sc.vmaddr + sc.vmsize);
                }
            }
            at += lc.cmdsize;
        }
        const uint64_t page = getpagesize();
        length_ = ((high - low) + page - 1) & ~(page - 1);
        void* where = atLinkAddress ? reinterpret_cast<void*>(low) : at;
        const int placement = atLinkAddress ? MAP_FIXED_NOREPLACE : at != nullptr ? MAP_FIXED : 0;
        void* base = mmap(where, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | placement, -1, 0);
        if (base == MAP_FAILED) return;
        base_ = static_cast<uint8_t*>(base);
        for (const Segment& s : segments) {
            std::memcpy(base_ + (s.vmaddr - low), &file_[s.fileoff], std::min(s.filesize, s.vmsize));
        }
        textVmaddr_ = low;
    }
    ~LoadedMachO() {
        if (base_ != nullptr) munmap(base_, length_);
    }

    bool loaded() const { return base_ != nullptr; }
    uint8_t* header() const { return base_; }
    ob_vm_address_t address() const { return reinterpret_cast<uintptr_t>(base_); }
    size_t length() const { return length_; }
    int64_t slide() const { return static_cast<int64_t>(address() - textVmaddr_); }

private:
    std::vector<char> file_;
    uint8_t* base_ = nullptr;
    size_t length_ = 0;
    uint64_t textVmaddr_ = 0;
};

struct Expected {
    struct Section {
        std::string segment, name;
        uint64_t addr, size;
    };
    std::map<std::string, std::pair<uint64_t, uint64_t>> segments;  // name -> vmaddr, vmsize
    std::vector<Section> sections;
    std::string uuid;
};

uint64_t hex(const std::string& text) { return std::stoull(text, nullptr, 16); }

// What the toolchain's own reader says the file holds.
Expected objdumpHeaders(const std::string& path) {
    int code = -1;
    const std::string text = testsupport::runCommand({"llvm-objdump", "--macho", "--private-headers", path}, &code);
    EXPECT_EQ(code, 0) << text;
    Expected expected;
    std::istringstream lines(text);
    std::string line, segment, sectname, sectseg;
    uint64_t vmaddr = 0, addr = 0;
    bool inSection = false;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, std::regex("^Section$"))) inSection = true;
        if (std::regex_match(line, std::regex(R"(^\s+cmd .*)"))) inSection = false;
        if (std::regex_match(line, m, std::regex(R"(^\s+sectname (\S+)$)"))) sectname = m[1];
        if (std::regex_match(line, m, std::regex(R"(^\s+segname (\S+)$)"))) (inSection ? sectseg : segment) = m[1];
        if (std::regex_match(line, m, std::regex(R"(^\s+vmaddr 0x([0-9a-f]+)$)"))) vmaddr = hex(m[1]);
        if (std::regex_match(line, m, std::regex(R"(^\s+vmsize 0x([0-9a-f]+)$)")))
            expected.segments[segment] = {vmaddr, hex(m[1])};
        if (std::regex_match(line, m, std::regex(R"(^\s+addr 0x([0-9a-f]+)$)"))) addr = hex(m[1]);
        if (inSection && std::regex_match(line, m, std::regex(R"(^\s+size 0x([0-9a-f]+)$)")))
            expected.sections.push_back({sectseg, sectname, addr, hex(m[1])});
        if (std::regex_match(line, m, std::regex(R"(^\s+uuid (\S+)$)"))) expected.uuid = m[1];
    }
    return expected;
}

std::string uuidText(const uint8_t* bytes) {
    char text[40];
    std::snprintf(text, sizeof(text), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

struct FoundSymbol {
    ob_vm_address_t address = 0;
    std::string name;
};

void remember(ob_vm_address_t address, const char* name, void* context) {
    *static_cast<FoundSymbol*>(context) = {address, name};
}

struct Fixture {
    const char* file;
    bool atLinkAddress;
    uint32_t cpuType;
};

class MachOFixture : public ::testing::TestWithParam<Fixture> {};

// Segments, sections, UUID and symbols as the parser reads them from the image in memory agree
// with what llvm-objdump and llvm-nm read from the file.
TEST_P(MachOFixture, AgreesWithTheToolchainsReaders) {
    const Fixture param = GetParam();
    const std::string path = fixture(param.file);
    LoadedMachO loaded(path, param.atLinkAddress);
    ASSERT_TRUE(loaded.loaded()) << path;
    const Expected expected = objdumpHeaders(path);
    ASSERT_FALSE(expected.sections.empty());

    obcrash_async_macho_t image;
    ASSERT_EQ(obcrash_nasync_macho_init(&image, ob_mach_task_self(), path.c_str(), loaded.address()), OBCRASH_OK);
    EXPECT_EQ(obcrash_async_macho_cpu_type(&image), param.cpuType);
    EXPECT_EQ(image.vmaddr_slide, loaded.slide());
    if (param.atLinkAddress) {
        EXPECT_EQ(image.vmaddr_slide, 0);
    }
    EXPECT_EQ(image.text_size, expected.segments.at("__TEXT").second);
    EXPECT_TRUE(obcrash_async_macho_contains_address(&image, loaded.address()));
    EXPECT_FALSE(obcrash_async_macho_contains_address(&image, loaded.address() + image.text_size));

    for (const auto& [name, segment] : expected.segments) {
        const auto* cmd = static_cast<const obcrash_macho_segment_command_64_t*>(
            obcrash_async_macho_find_segment_cmd(&image, name.c_str()));
        ASSERT_NE(cmd, nullptr) << name;
        EXPECT_EQ(cmd->vmaddr, segment.first) << name;
        EXPECT_EQ(cmd->vmsize, segment.second) << name;
    }
    for (const Expected::Section& section : expected.sections) {
        obcrash_async_mobject_t mobj;
        ASSERT_EQ(obcrash_async_macho_map_section(&image, section.segment.c_str(), section.name.c_str(), &mobj),
                  OBCRASH_OK)
            << section.name;
        EXPECT_EQ(obcrash_async_mobject_base_address(&mobj), section.addr + loaded.slide()) << section.name;
        EXPECT_EQ(obcrash_async_mobject_length(&mobj), section.size) << section.name;
        obcrash_async_mobject_free(&mobj);
    }
    obcrash_async_mobject_t none;
    EXPECT_EQ(obcrash_async_macho_map_section(&image, "__TEXT", "__nosuch", &none), OBCRASH_NOT_FOUND);
    EXPECT_EQ(obcrash_async_macho_map_section(&image, "__NOSUCH", "__text", &none), OBCRASH_NOT_FOUND);

    const auto* uuid =
        static_cast<const obcrash_macho_uuid_command_t*>(obcrash_async_macho_find_command(&image, OBCRASH_LC_UUID));
    ASSERT_NE(uuid, nullptr);
    EXPECT_EQ(uuidText(uuid->uuid), expected.uuid);

    // Every pc from a function's start to the next symbol names that function.
    int code = -1;
    std::istringstream nm(testsupport::runCommand({"llvm-nm", "-n", path}, &code));
    ASSERT_EQ(code, 0);
    std::vector<std::pair<uint64_t, std::string>> symbols;
    std::string line;
    std::smatch m;
    while (std::getline(nm, line)) {
        if (std::regex_match(line, m, std::regex(R"(^([0-9a-f]+) [TtSsDd] (\S+)$)")))
            symbols.emplace_back(hex(m[1]), m[2]);
    }
    ASSERT_GE(symbols.size(), 3u);
    FoundSymbol found;
    EXPECT_EQ(obcrash_async_macho_find_symbol_by_pc(&image, symbols[0].first + loaded.slide() - 1, remember, &found),
              OBCRASH_NOT_FOUND);
    for (size_t i = 0; i < symbols.size(); ++i) {
        const uint64_t start = symbols[i].first;
        const uint64_t end = i + 1 < symbols.size() ? symbols[i + 1].first : start + 1;
        if (end == start) continue;
        for (const uint64_t pc : {start, start + (end - start) / 2, end - 1}) {
            ASSERT_EQ(obcrash_async_macho_find_symbol_by_pc(&image, pc + loaded.slide(), remember, &found), OBCRASH_OK);
            EXPECT_EQ(found.name, symbols[i].second) << std::hex << pc;
            EXPECT_EQ(found.address, start + loaded.slide());
        }
        ob_vm_address_t byName = 0;
        ASSERT_EQ(obcrash_async_macho_find_symbol_by_name(&image, symbols[i].second.c_str(), &byName), OBCRASH_OK);
        EXPECT_EQ(byName, start + loaded.slide());
    }
    obcrash_nasync_macho_free(&image);
}

INSTANTIATE_TEST_SUITE_P(Images, MachOFixture,
                         ::testing::Values(Fixture{"library-x86_64.dylib", false, 0x01000007},
                                           Fixture{"library-arm64.dylib", false, 0x0100000C},
                                           Fixture{"program-x86_64", true, 0x01000007},
                                           Fixture{"program-arm64", true, 0x0100000C}),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

uint8_t* findCommand(uint8_t* header, uint32_t cmd) {
    uint32_t ncmds;
    std::memcpy(&ncmds, header + 16, 4);
    uint8_t* at = header + 32;
    for (uint32_t i = 0; i < ncmds; ++i) {
        obcrash_macho_load_command_t lc;
        std::memcpy(&lc, at, sizeof(lc));
        if (lc.cmd == cmd) return at;
        at += lc.cmdsize;
    }
    return nullptr;
}

uint8_t* findSegment(uint8_t* header, const char* name) {
    uint32_t ncmds;
    std::memcpy(&ncmds, header + 16, 4);
    uint8_t* at = header + 32;
    for (uint32_t i = 0; i < ncmds; ++i) {
        obcrash_macho_segment_command_64_t sc;
        std::memcpy(&sc, at, 8);
        if (sc.cmd == OBCRASH_LC_SEGMENT_64 && std::strncmp(reinterpret_cast<char*>(at) + 8, name, 16) == 0) return at;
        at += sc.cmdsize;
    }
    return nullptr;
}

template <typename T>
void put(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof(value));
}

// Corrupted images give the parser's codes and never a read outside what is mapped.
TEST(MachOImage, CorruptImagesGiveCodesNotFaults) {
    const std::string path = fixture("library-x86_64.dylib");
    const auto init = [&](LoadedMachO& loaded, obcrash_async_macho_t* image) {
        return obcrash_nasync_macho_init(image, ob_mach_task_self(), "corrupt", loaded.address());
    };
    obcrash_async_macho_t image;
    obcrash_async_mobject_t mobj;
    FoundSymbol found;

    for (const uint32_t magic : {OBCRASH_FAT_MAGIC, OBCRASH_FAT_CIGAM, 0x12345678u}) {
        LoadedMachO loaded(path, false);
        put(loaded.header(), magic);
        EXPECT_EQ(init(loaded, &image), OBCRASH_INVALID_ARGUMENT) << std::hex << magic;
    }
    {  // The load commands claim more than is mapped: the image is cut short.
        LoadedMachO loaded(path, false);
        put<uint32_t>(loaded.header() + 20, 0x7ffff000);
        EXPECT_EQ(init(loaded, &image), OBCRASH_NO_MEMORY);
    }
    {  // sizeofcmds too small for the first segment command.
        LoadedMachO loaded(path, false);
        put<uint32_t>(loaded.header() + 20, 40);
        EXPECT_EQ(init(loaded, &image), OBCRASH_INVALID_ARGUMENT);
    }
    for (const uint32_t cmdsize : {0u, 4u, 0xfffffff0u}) {  // iteration stops at the bad command
        LoadedMachO loaded(path, false);
        put(findSegment(loaded.header(), "__TEXT") + 4, cmdsize);
        ASSERT_EQ(init(loaded, &image), OBCRASH_OK) << cmdsize;
        EXPECT_EQ(obcrash_async_macho_find_segment_cmd(&image, "__LINKEDIT"), nullptr);
        EXPECT_EQ(obcrash_async_macho_find_symbol_by_pc(&image, loaded.address() + 0x3d0, remember, &found),
                  OBCRASH_NOT_FOUND);
        obcrash_nasync_macho_free(&image);
    }
    {  // Section count past the load commands.
        LoadedMachO loaded(path, false);
        put<uint32_t>(findSegment(loaded.header(), "__TEXT") + 64, 100000);
        ASSERT_EQ(init(loaded, &image), OBCRASH_OK);
        EXPECT_EQ(obcrash_async_macho_map_section(&image, "__TEXT", "__nosuch", &mobj), OBCRASH_INVALID_ARGUMENT);
        obcrash_nasync_macho_free(&image);
    }
    {  // Symbol indices outside the table.
        LoadedMachO loaded(path, false);
        uint8_t* dysymtab = findCommand(loaded.header(), OBCRASH_LC_DYSYMTAB);
        ASSERT_NE(dysymtab, nullptr);
        put<uint32_t>(dysymtab + 16, 0xfffffff0u);
        ASSERT_EQ(init(loaded, &image), OBCRASH_OK);
        EXPECT_EQ(obcrash_async_macho_find_symbol_by_pc(&image, loaded.address() + 0x3d0, remember, &found),
                  OBCRASH_INVALID_ARGUMENT);
        obcrash_nasync_macho_free(&image);
    }
    {  // A symbol table past __LINKEDIT, and a string table without its terminating NUL.
        LoadedMachO loaded(path, false);
        uint8_t* symtab = findCommand(loaded.header(), OBCRASH_LC_SYMTAB);
        ASSERT_NE(symtab, nullptr);
        const uint8_t* linkedit = findSegment(loaded.header(), "__LINKEDIT");
        uint64_t vmaddr, vmsize;
        std::memcpy(&vmaddr, linkedit + 24, 8);
        std::memcpy(&vmsize, linkedit + 32, 8);
        uint32_t stroff, strsize, nsyms;
        std::memcpy(&nsyms, symtab + 12, 4);
        std::memcpy(&stroff, symtab + 16, 4);
        std::memcpy(&strsize, symtab + 20, 4);
        put<uint32_t>(symtab + 12, 0x10000000);
        ASSERT_EQ(init(loaded, &image), OBCRASH_OK);
        EXPECT_EQ(obcrash_async_macho_find_symbol_by_pc(&image, loaded.address() + 0x3d0, remember, &found),
                  OBCRASH_INTERNAL);
        obcrash_nasync_macho_free(&image);

        put<uint32_t>(symtab + 12, nsyms);
        const uint64_t page = getpagesize();
        // Every byte of __LINKEDIT from the string table on, up to the end of its last page, set.
        uint8_t* linkeditStart = loaded.header() + vmaddr;
        uint64_t fileoff;
        std::memcpy(&fileoff, linkedit + 40, 8);
        uint8_t* from = linkeditStart + (stroff - fileoff);
        uint8_t* to = linkeditStart + ((vmsize + page - 1) & ~(page - 1));
        std::memset(from, 'A', to - from);
        ASSERT_EQ(init(loaded, &image), OBCRASH_OK);
        EXPECT_EQ(obcrash_async_macho_find_symbol_by_pc(&image, loaded.address() + 0x3d0, remember, &found),
                  OBCRASH_INVALID_ARGUMENT);
        ob_vm_address_t address;
        EXPECT_EQ(obcrash_async_macho_find_symbol_by_name(&image, "_alpha", &address), OBCRASH_NOT_FOUND);
        obcrash_nasync_macho_free(&image);
    }
}

// A segment is mapped no further than the memory of its image reaches, whatever size its load
// command claims, even where another object's pages follow at once; one that starts beyond the
// image is damaged data.
TEST(MachOImage, ASegmentReachesNoFurtherThanItsImage) {
    const size_t page = getpagesize();
    const size_t reserved = 256 * page;
    void* area = mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    LoadedMachO loaded(fixture("library-x86_64.dylib"), false, area);
    ASSERT_TRUE(loaded.loaded());
    ASSERT_LE(loaded.length() + 4 * page, reserved);
    FILE* other = std::tmpfile();
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(ftruncate(fileno(other), static_cast<off_t>(4 * page)), 0);
    void* next = mmap(reinterpret_cast<void*>(loaded.address() + loaded.length()), 4 * page, PROT_READ,
                      MAP_PRIVATE | MAP_FIXED, fileno(other), 0);
    ASSERT_NE(next, MAP_FAILED);
    uint8_t* linkedit = findSegment(loaded.header(), "__LINKEDIT");
    ASSERT_NE(linkedit, nullptr);
    uint64_t vmaddr;
    std::memcpy(&vmaddr, linkedit + 24, 8);
    put<uint64_t>(linkedit + 32, uint64_t{20} << 30);

    obcrash_async_macho_t image;
    ASSERT_EQ(obcrash_nasync_macho_init(&image, ob_mach_task_self(), "claims", loaded.address()), OBCRASH_OK);
    obcrash_async_macho_mapped_segment_t segment;
    ASSERT_EQ(obcrash_async_macho_map_segment(&image, "__LINKEDIT", &segment), OBCRASH_OK);
    EXPECT_EQ(obcrash_async_mobject_base_address(&segment.mobj), loaded.address() + vmaddr);
    EXPECT_LE(obcrash_async_mobject_base_address(&segment.mobj) + obcrash_async_mobject_length(&segment.mobj),
              loaded.address() + loaded.length());
    obcrash_async_macho_mapped_segment_free(&segment);
    // The symbols in it are still found.
    FoundSymbol found;
    EXPECT_EQ(obcrash_async_macho_find_symbol_by_pc(&image, loaded.address() + 0x3d0, remember, &found), OBCRASH_OK);
    obcrash_nasync_macho_free(&image);

    put<uint64_t>(linkedit + 24, loaded.length() + page);
    ASSERT_EQ(obcrash_nasync_macho_init(&image, ob_mach_task_self(), "beyond", loaded.address()), OBCRASH_OK);
    EXPECT_EQ(obcrash_async_macho_map_segment(&image, "__LINKEDIT", &segment), OBCRASH_INVALID_DATA);
    obcrash_nasync_macho_free(&image);
    munmap(next, 4 * page);
    munmap(static_cast<uint8_t*>(area) + loaded.length(), reserved - loaded.length());
    std::fclose(other);
}

// A string that ends exactly at a page boundary needs a second page; one that runs into an
// unreadable page is refused.
TEST(MachOImage, MappedStringsGrowByAPage) {
    const size_t page = getpagesize();
    auto* area =
        static_cast<uint8_t*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(mprotect(area + 2 * page, page, PROT_NONE), 0);
    std::memset(area, 'x', 2 * page);
    area[2 * page - 1] = '\0';
    obcrash_async_macho_t image{};
    image.task = ob_mach_task_self();

    obcrash_async_macho_string_t string;
    ob_vm_size_t length = 0;
    const char* pointer = nullptr;
    obcrash_async_macho_string_init(&string, &image, reinterpret_cast<uintptr_t>(area + page - 10));
    ASSERT_EQ(obcrash_async_macho_string_get_length(&string, &length), OBCRASH_OK);
    EXPECT_EQ(length, page + 9);
    ASSERT_EQ(obcrash_async_macho_string_get_pointer(&string, &pointer), OBCRASH_OK);
    EXPECT_EQ(std::strlen(pointer), page + 9);
    obcrash_async_macho_string_free(&string);

    area[2 * page - 1] = 'x';
    obcrash_async_macho_string_init(&string, &image, reinterpret_cast<uintptr_t>(area + page + 5));
    EXPECT_EQ(obcrash_async_macho_string_get_length(&string, &length), OBCRASH_INVALID_ARGUMENT);
    obcrash_async_macho_string_free(&string);
    munmap(area, 3 * page);
}

}  // namespace
