#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/OBCrashAsyncImageList.h"
#include "crashreporter/OBCrashAsyncMObject.h"
#include "crashreporter/OBCrashAsyncThreadState.h"
#include "crashreporter/OBCrashImageTracker.h"
#include "support/ChildProcess.h"

namespace {

const ob_task_t self = ob_mach_task_self();

// A page of known bytes followed by a hole where nothing is mapped.
struct PageThenHole {
    PageThenHole() {
        page = getpagesize();
        base =
            static_cast<uint8_t*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        for (size_t i = 0; i < page; ++i) base[i] = static_cast<uint8_t>(i);
        munmap(base + page, page);
    }
    ~PageThenHole() { munmap(base, page); }
    ob_vm_address_t at(size_t offset) const { return reinterpret_cast<uintptr_t>(base) + offset; }
    size_t page;
    uint8_t* base;
};

TEST(MemoryObject, CopiesWhatIsReadableAndChecksEveryRead) {
    PageThenHole memory;
    obcrash_async_mobject_t mobj;
    ASSERT_EQ(obcrash_async_mobject_init(&mobj, self, memory.at(100), 16, true), OBCRASH_OK);
    EXPECT_FALSE(mobj.in_place);
    EXPECT_EQ(obcrash_async_mobject_remap_address(&mobj, memory.at(100), 0, 1), reinterpret_cast<void*>(mobj.address));
    uint32_t value = 0;
    ASSERT_EQ(obcrash_async_mobject_read_uint32(&mobj, &obcrash_async_byteorder_swapped, memory.at(100), 4, &value),
              OBCRASH_OK);
    EXPECT_EQ(value, 0x68696a6bu);
    memory.base[104] = 0;  // a copy: later changes are not seen
    uint8_t byte = 0;
    ASSERT_EQ(obcrash_async_mobject_read_uint8(&mobj, memory.at(100), 4, &byte), OBCRASH_OK);
    EXPECT_EQ(byte, 104);
    EXPECT_EQ(obcrash_async_mobject_read_uint32(&mobj, &obcrash_async_byteorder_direct, memory.at(100), 13, &value),
              OBCRASH_INVALID_ARGUMENT);
    EXPECT_FALSE(obcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, -1, 1));
    EXPECT_FALSE(obcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, 8, UINT64_MAX - 4));
    EXPECT_TRUE(obcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, 8, 8));
    obcrash_async_mobject_free(&mobj);

    // The last 3 readable bytes; then a range running into the hole, partial and required whole.
    ASSERT_EQ(obcrash_async_mobject_init(&mobj, self, memory.at(memory.page - 3), 3, false), OBCRASH_OK);
    EXPECT_EQ(obcrash_async_mobject_length(&mobj), 3u);
    obcrash_async_mobject_free(&mobj);
    ASSERT_EQ(obcrash_async_mobject_init(&mobj, self, memory.at(memory.page - 8), 64, false), OBCRASH_OK);
    EXPECT_EQ(obcrash_async_mobject_length(&mobj), 8u);
    EXPECT_EQ(obcrash_async_mobject_read_uint8(&mobj, memory.at(memory.page), 0, &byte), OBCRASH_INVALID_ARGUMENT);
    obcrash_async_mobject_free(&mobj);
    EXPECT_EQ(obcrash_async_mobject_init(&mobj, self, memory.at(memory.page - 8), 64, true), OBCRASH_NO_MEMORY);
    EXPECT_EQ(obcrash_async_mobject_init(&mobj, self, memory.at(memory.page), 8, false), OBCRASH_NO_MEMORY);
    // Ranges that wrap the address space.
    EXPECT_EQ(obcrash_async_mobject_init(&mobj, self, UINT64_MAX - 8, 64, false), OBCRASH_NO_MEMORY);
    EXPECT_EQ(obcrash_async_mobject_init(&mobj, self, UINT64_MAX - 8, 4, false), OBCRASH_NO_MEMORY);
}

// A fake loader record: one readable PT_LOAD of one page at `address`.
struct FakeObject {
    explicit FakeObject(ob_vm_address_t address) {
        phdr.p_type = PT_LOAD;
        phdr.p_flags = PF_R;
        phdr.p_vaddr = address;
        phdr.p_memsz = getpagesize();
        info.dlpi_addr = 0;
        info.dlpi_name = "fake";
        info.dlpi_phdr = &phdr;
        info.dlpi_phnum = 1;
    }
    ElfW(Phdr) phdr{};
    dl_phdr_info info{};
};

void appendFake(obcrash_async_image_list_t* list, ob_vm_address_t address) {
    FakeObject object(address);
    obcrash_nasync_image_list_append_elf(list, &object.info, nullptr);
}

std::vector<ob_vm_address_t> walk(obcrash_async_image_list_t* list) {
    std::vector<ob_vm_address_t> seen;
    obcrash_async_image_list_set_reading(list, true);
    for (obcrash_async_image_t* image = obcrash_async_image_list_next(list, nullptr); image != nullptr;
         image = obcrash_async_image_list_next(list, image)) {
        seen.push_back(obcrash_async_image_header_addr(image));
    }
    obcrash_async_image_list_set_reading(list, false);
    return seen;
}

TEST(ImageList, ReadersKeepWhatWritersRemove) {
    obcrash_async_image_list_t list;
    obcrash_nasync_image_list_init(&list, self);
    EXPECT_EQ(obcrash_async_image_list_next(&list, nullptr), nullptr);
    EXPECT_EQ(obcrash_async_image_containing_address(&list, 0x1000), nullptr);
    const ob_vm_address_t a = 0x100000, b = 0x200000, c = 0x300000, d = 0x400000, e = 0x500000;
    for (ob_vm_address_t at : {a, b, c}) appendFake(&list, at);
    EXPECT_EQ(walk(&list), (std::vector<ob_vm_address_t>{a, b, c}));

    // A reader standing on B while B is removed still reads its record.
    obcrash_async_image_list_set_reading(&list, true);
    obcrash_async_image_t* held = obcrash_async_image_containing_address(&list, b + 10);
    ASSERT_NE(held, nullptr);
    obcrash_nasync_image_list_remove(&list, b);
    obcrash_nasync_image_list_remove(&list, 0x999000);  // not listed: nothing happens
    EXPECT_EQ(obcrash_async_image_header_addr(held), b);
    EXPECT_STREQ(obcrash_async_image_name(held), "fake");
    obcrash_async_image_list_set_reading(&list, false);
    EXPECT_EQ(walk(&list), (std::vector<ob_vm_address_t>{a, c}));

    // Removed nodes are reused, the last removed first.
    void* nodeB = held->node;
    obcrash_nasync_image_list_remove(&list, a);
    obcrash_nasync_image_list_remove(&list, c);
    EXPECT_TRUE(walk(&list).empty());
    appendFake(&list, d);
    appendFake(&list, e);
    EXPECT_EQ(walk(&list), (std::vector<ob_vm_address_t>{d, e}));
    obcrash_async_image_list_set_reading(&list, true);
    obcrash_async_image_t* first = obcrash_async_image_list_next(&list, nullptr);
    obcrash_async_image_t* second = obcrash_async_image_list_next(&list, first);
    EXPECT_NE(first->node, nodeB);
    EXPECT_NE(second->node, nodeB);
    obcrash_async_image_list_set_reading(&list, false);
    obcrash_nasync_image_list_free(&list);
}

struct MapsLine {
    uint64_t start, end;
    std::string path;
};

std::vector<MapsLine> executableFileMappings() {
    std::ifstream maps("/proc/self/maps");
    std::vector<MapsLine> lines;
    std::string line;
    std::smatch m;
    while (std::getline(maps, line)) {
        if (std::regex_match(line, m, std::regex(R"(^([0-9a-f]+)-([0-9a-f]+) ..x. \S+ \S+ [1-9]\d*\s+(/.*)$)")))
            lines.push_back({std::stoull(m[1], nullptr, 16), std::stoull(m[2], nullptr, 16), m[3]});
    }
    return lines;
}

// The running process as the tracker lists it: every executable mapping of a file lies in
// exactly one image, and each image's build id and .eh_frame are those readelf finds.
TEST(ImageList, ListsTheRunningProcessAsReadelfSeesIt) {
    obcrash_async_image_list_t list;
    obcrash_nasync_image_list_init(&list, self);
    obcrash::ImageTracker tracker(list);
    tracker.sync();
    EXPECT_FALSE(tracker.syncIfChanged());

    obcrash_async_image_list_set_reading(&list, true);
    for (const MapsLine& mapping : executableFileMappings()) {
        int containing = 0;
        for (obcrash_async_image_t* image = obcrash_async_image_list_next(&list, nullptr); image != nullptr;
             image = obcrash_async_image_list_next(&list, image)) {
            if (obcrash_async_image_contains_address(image, mapping.start) &&
                obcrash_async_image_contains_address(image, mapping.end - 1)) {
                ++containing;
                EXPECT_EQ(std::filesystem::canonical(obcrash_async_image_name(image)), mapping.path);
            }
        }
        EXPECT_EQ(containing, 1) << mapping.path;
    }

    int checked = 0;
    for (obcrash_async_image_t* image = obcrash_async_image_list_next(&list, nullptr); image != nullptr;
         image = obcrash_async_image_list_next(&list, image)) {
        const std::string name = obcrash_async_image_name(image);
        if (name.empty() || name[0] != '/') continue;  // the vDSO has no file
        EXPECT_EQ(obcrash_async_image_cpu_type(image), static_cast<uint32_t>(CPU_TYPE_X86_64));
        int code = -1;
        const std::string notes = testsupport::runCommand({"readelf", "-n", name}, &code);
        std::smatch m;
        uint8_t uuid[16];
        if (std::regex_search(notes, m, std::regex(R"(Build ID: ([0-9a-f]+))"))) {
            ASSERT_TRUE(obcrash_async_image_uuid(image, uuid)) << name;
            char hex[33];
            for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", uuid[i]);
            EXPECT_EQ(std::string(m[1]).substr(0, 32), hex) << name;
        } else {
            EXPECT_FALSE(obcrash_async_image_uuid(image, uuid)) << name;
        }
        const std::string sections = testsupport::runCommand({"readelf", "-SW", name}, &code);
        obcrash_async_mobject_t mobj;
        if (std::regex_search(sections, m,
                              std::regex(R"(\.eh_frame\s+PROGBITS\s+([0-9a-f]+) [0-9a-f]+ ([0-9a-f]+))"))) {
            ASSERT_EQ(obcrash_async_image_map_section(image, "__TEXT", "__eh_frame", &mobj), OBCRASH_OK) << name;
            EXPECT_EQ(obcrash_async_mobject_base_address(&mobj), image->elf.load_bias + std::stoull(m[1], nullptr, 16));
            EXPECT_EQ(obcrash_async_mobject_length(&mobj), std::stoull(m[2], nullptr, 16)) << name;
            obcrash_async_mobject_free(&mobj);
            ++checked;
        }
        for (const char* section : {"__unwind_info", "__crash_info"}) {
            EXPECT_EQ(obcrash_async_image_map_section(image, "__TEXT", section, &mobj), OBCRASH_NOT_FOUND);
        }
        EXPECT_EQ(obcrash_async_image_map_section(image, "__DWARF", "__debug_frame", &mobj), OBCRASH_NOT_FOUND);
    }
    EXPECT_GE(checked, 2);  // the program and libc at least
    obcrash_async_image_list_set_reading(&list, false);

    // Reads inside a listed image's segments happen in place once the list serves them.
    obcrash_nasync_image_list_serve_in_place_reads(&list, true);
    obcrash_async_mobject_t mobj;
    const auto code = reinterpret_cast<uintptr_t>(&executableFileMappings);
    ASSERT_EQ(obcrash_async_mobject_init(&mobj, self, code, 64, true), OBCRASH_OK);
    EXPECT_TRUE(mobj.in_place);
    EXPECT_EQ(mobj.address, code);
    obcrash_async_mobject_free(&mobj);
    std::vector<uint8_t> heap(64, 7);
    ASSERT_EQ(obcrash_async_mobject_init(&mobj, self, reinterpret_cast<uintptr_t>(heap.data()), 64, true), OBCRASH_OK);
    EXPECT_FALSE(mobj.in_place);
    obcrash_async_mobject_free(&mobj);
    obcrash_nasync_image_list_serve_in_place_reads(&list, false);
    obcrash_nasync_image_list_free(&list);
}

bool listed(obcrash_async_image_list_t* list, const std::string& suffix) {
    bool found = false;
    obcrash_async_image_list_set_reading(list, true);
    for (obcrash_async_image_t* image = obcrash_async_image_list_next(list, nullptr); image != nullptr;
         image = obcrash_async_image_list_next(list, image)) {
        const std::string name = obcrash_async_image_name(image);
        found = found ||
                (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
    }
    obcrash_async_image_list_set_reading(list, false);
    return found;
}

// A library loaded at run time is listed after the next check and gone after it is unloaded,
// while a reader that held the mark across the unload still reads its record.
TEST(ImageList, FollowsLibrariesLoadedAndUnloaded) {
    obcrash_async_image_list_t list;
    obcrash_nasync_image_list_init(&list, self);
    obcrash::ImageTracker tracker(list);
    tracker.sync();
    const std::string library = OBCRASH_LOADABLE_LIBRARY;
    ASSERT_FALSE(listed(&list, library));

    void* handle = dlopen(library.c_str(), RTLD_NOW);
    ASSERT_NE(handle, nullptr) << dlerror();
    void* function = dlsym(handle, "obcrash_fixture_loadable");
    EXPECT_FALSE(listed(&list, library));
    tracker.start(std::chrono::milliseconds(20));
    for (int i = 0; i < 200 && !listed(&list, library); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    tracker.stop();
    ASSERT_TRUE(listed(&list, library));

    obcrash_async_image_list_set_reading(&list, true);
    obcrash_async_image_t* held = obcrash_async_image_containing_address(&list, reinterpret_cast<uintptr_t>(function));
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(obcrash_async_image_name(held), library);
    ASSERT_EQ(dlclose(handle), 0);
    EXPECT_TRUE(tracker.syncIfChanged());
    EXPECT_EQ(obcrash_async_image_name(held), library);
    EXPECT_TRUE(held->elf.has_uuid);
    obcrash_async_image_list_set_reading(&list, false);
    EXPECT_FALSE(listed(&list, library));
    EXPECT_FALSE(tracker.syncIfChanged());

    // Loaded again, in a node reused from the free list.
    handle = dlopen(library.c_str(), RTLD_NOW);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(tracker.syncIfChanged());
    EXPECT_TRUE(listed(&list, library));
    dlclose(handle);
    obcrash_nasync_image_list_free(&list);
}

}  // namespace
