#include <gtest/gtest.h>

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crashreporter/OBCrashAsyncCompactUnwind.h"
#include "crashreporter/OBCrashAsyncDwarfCFAState.hpp"
#include "crashreporter/OBCrashAsyncFrameWalker.h"
#include "crashreporter/OBCrashAsyncImageList.h"
#include "ForkedChild.h"
#include "UnwindTestSupport.h"
#include "support/ChildProcess.h"

using namespace obcrash::OB::async;
using unwindtest::MachOFile;
using unwindtest::Mapped;

namespace {

std::string fixture(const std::string& name) { return std::string(OBCRASH_MACHO_FIXTURES) + "/" + name; }

std::string run(const std::vector<std::string>& argv) {
    int code = -1;
    const std::string text = testsupport::runCommand(argv, &code);
    EXPECT_EQ(code, 0) << argv[0];
    return text;
}

uint64_t hex(const std::string& text) { return std::stoull(text, nullptr, 16); }

// Function starts and encodings of the second-level pages, and the end of the last function.
struct UnwindInfo {
    std::vector<std::pair<uint32_t, uint32_t>> entries;
    uint32_t end = 0;
};

UnwindInfo objdumpUnwindInfo(const std::string& path) {
    std::istringstream lines(run({"llvm-objdump", "--macho", "--unwind-info", path}));
    UnwindInfo info;
    std::string line;
    std::smatch m;
    const std::regex entry(R"(^\s+\[\d+\]: function offset=0x([0-9a-f]+), encoding(\[\d+\])?=0x([0-9a-f]+))");
    const std::regex top(R"(^\s+\[\d+\]: function offset=0x([0-9a-f]+), 2nd level page offset=0x([0-9a-f]+))");
    while (std::getline(lines, line)) {
        if (std::regex_search(line, m, entry)) info.entries.emplace_back(hex(m[1]), hex(m[3]));
        if (std::regex_search(line, m, top) && hex(m[2]) == 0) info.end = static_cast<uint32_t>(hex(m[1]));
    }
    return info;
}

TEST(CompactUnwind, LookupsGiveTheFunctionsAndEncodingsObjdumpPrints) {
    size_t checked = 0;
    for (const std::string name : {"program-x86_64", "program-arm64", "library-x86_64.dylib", "library-arm64.dylib",
                                   "unwind-x86_64", "unwind-arm64"}) {
        SCOPED_TRACE(name);
        MachOFile file(fixture(name));
        const MachOFile::Section section = file.section("__unwind_info");
        ASSERT_NE(section.size, 0u);
        Mapped mapped(file.fileBytes(section), section.size);
        ASSERT_TRUE(mapped.ok());
        obcrash_async_cfe_reader_t reader;
        ASSERT_EQ(obcrash_async_cfe_reader_init(&reader, mapped.get(), file.cpuType()), OBCRASH_OK);

        const UnwindInfo expected = objdumpUnwindInfo(fixture(name));
        ASSERT_FALSE(expected.entries.empty());
        uint32_t function = 0, encoding = 0;
        if (expected.entries.front().first > 0) {
            EXPECT_EQ(
                obcrash_async_cfe_reader_find_pc(&reader, expected.entries.front().first - 1, &function, &encoding),
                OBCRASH_NOT_FOUND);
        }
        for (size_t i = 0; i < expected.entries.size(); ++i) {
            const auto [start, code] = expected.entries[i];
            const uint32_t last = (i + 1 < expected.entries.size() ? expected.entries[i + 1].first : expected.end) - 1;
            for (const uint32_t pc : {start, last}) {
                ASSERT_EQ(obcrash_async_cfe_reader_find_pc(&reader, pc, &function, &encoding), OBCRASH_OK) << pc;
                EXPECT_EQ(function, start) << pc;
                EXPECT_EQ(encoding, code) << pc;
            }
            obcrash_async_cfe_entry_t entry;
            EXPECT_EQ(obcrash_async_cfe_entry_init(&entry, file.cpuType(), code), OBCRASH_OK) << std::hex << code;
            ++checked;
        }
        obcrash_async_cfe_reader_free(&reader);
    }
    EXPECT_GE(checked, 12u);
}

// Every FDE llvm-dwarfdump lists is found for its first and last address, and the compact entry of
// its function points at it.
TEST(CompactUnwind, EhFrameOfTheFixturesAgreesWithDwarfdump) {
    for (const std::string name : {"unwind-x86_64", "unwind-arm64"}) {
        SCOPED_TRACE(name);
        MachOFile file(fixture(name));
        const uint64_t header = file.placeAtLinkAddress();
        ASSERT_NE(header, 0u);
        const MachOFile::Section section = file.section("__eh_frame"), info = file.section("__unwind_info");
        Mapped frames(reinterpret_cast<const void*>(section.addr), section.size);
        Mapped compact(reinterpret_cast<const void*>(info.addr), info.size);
        ASSERT_TRUE(frames.ok() && compact.ok());
        dwarf_frame_reader reader;
        reader.init(frames.get(), obcrash_async_byteorder_little_endian(), true, false);
        obcrash_async_cfe_reader_t cfe;
        ASSERT_EQ(obcrash_async_cfe_reader_init(&cfe, compact.get(), file.cpuType()), OBCRASH_OK);

        std::istringstream lines(run({"llvm-dwarfdump", "--eh-frame", fixture(name)}));
        const std::regex fdeLine(R"(^([0-9a-f]{8}) \S+ \S+ FDE cie=\S+ pc=([0-9a-f]+)\.\.\.([0-9a-f]+))");
        std::string line;
        std::smatch m;
        size_t fdes = 0;
        while (std::getline(lines, line)) {
            if (!std::regex_search(line, m, fdeLine)) continue;
            ++fdes;
            obcrash_async_dwarf_fde_info_t fde;
            for (const uint64_t pc : {hex(m[2]), hex(m[3]) - 1}) {
                ASSERT_EQ(reader.find_fde(0, pc, &fde), OBCRASH_OK);
                EXPECT_EQ(fde.fde_offset, hex(m[1]) + 4);
                EXPECT_EQ(fde.pc_start, hex(m[2]));
                EXPECT_EQ(fde.pc_end, hex(m[3]));
            }
            uint32_t function, encoding;
            ASSERT_EQ(
                obcrash_async_cfe_reader_find_pc(&cfe, static_cast<uint32_t>(hex(m[2]) - header), &function, &encoding),
                OBCRASH_OK);
            obcrash_async_cfe_entry_t entry;
            ASSERT_EQ(obcrash_async_cfe_entry_init(&entry, file.cpuType(), encoding), OBCRASH_OK);
            EXPECT_EQ(obcrash_async_cfe_entry_type(&entry), OBCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF);
            EXPECT_EQ(obcrash_async_cfe_entry_stack_offset(&entry), static_cast<int64_t>(hex(m[1])));
        }
        EXPECT_GE(fdes, 1u);
    }
}

// --- The x86-64 fixture's code faulting in this process ------------------------------------------

struct Chain {
    obcrash_async_cfe_reader_t* reader = nullptr;
    uint64_t imageStart = 0, imageEnd = 0;
    uint64_t pcs[8] = {};
    int count = 0;
    obcrash_error_t result = OBCRASH_OK;
    sigjmp_buf back;
};
Chain chain;

// Walks the stack with compact unwind while the faulting frames are still on it.
void unwindFromFault(int, siginfo_t*, void* context) {
    obcrash_async_thread_state_t state, caller;
    obcrash_async_thread_state_mcontext_init(&state, static_cast<const ucontext_t*>(context));
    chain.pcs[chain.count++] = obcrash_async_thread_state_get_reg(&state, OBCRASH_X86_64_RIP);
    while (chain.count < 8) {
        const uint64_t pc = chain.pcs[chain.count - 1];
        if (pc < chain.imageStart || pc >= chain.imageEnd) break;
        // A return address may already lie in the next function: look up the call instead.
        const uint64_t lookup = chain.count == 1 ? pc : pc - 1;
        uint32_t function, encoding;
        obcrash_async_cfe_entry_t entry;
        if ((chain.result = obcrash_async_cfe_reader_find_pc(
                 chain.reader, static_cast<uint32_t>(lookup - chain.imageStart), &function, &encoding)) != OBCRASH_OK ||
            (chain.result = obcrash_async_cfe_entry_init(&entry, CPU_TYPE_X86_64, encoding)) != OBCRASH_OK ||
            (chain.result = obcrash_async_cfe_entry_apply(ob_mach_task_self(), chain.imageStart + function, &state,
                                                          &entry, &caller)) != OBCRASH_OK)
            break;
        state = caller;
        chain.pcs[chain.count++] = obcrash_async_thread_state_get_reg(&state, OBCRASH_X86_64_RIP);
    }
    siglongjmp(chain.back, 1);
}

using EntryFunction = int (*)(volatile int*, int);

__attribute__((noinline)) int callFixture(EntryFunction entry) {
    const int result = entry(nullptr, 1);
    asm volatile("" ::: "memory");
    return result + 1;
}

TEST(CompactUnwind, FaultInFixtureCodeUnwindsThroughEveryCaller) {
    MachOFile file(fixture("unwind-x86_64"));
    const uint64_t header = file.placeAtLinkAddress();
    ASSERT_NE(header, 0u);
    std::map<uint64_t, std::string> symbols;  // address -> name, as llvm-nm gives them
    std::istringstream nm(run({"llvm-nm", fixture("unwind-x86_64")}));
    std::string address, kind, name;
    while (nm >> address >> kind >> name) {
        if (kind == "T" || kind == "t") symbols[hex(address)] = name;
    }
    auto nameAt = [&](uint64_t pc) {
        auto it = symbols.upper_bound(pc);
        return it == symbols.begin() ? std::string() : std::prev(it)->second;
    };

    const MachOFile::Section info = file.section("__unwind_info");
    Mapped mapped(reinterpret_cast<const void*>(info.addr), info.size);
    ASSERT_TRUE(mapped.ok());
    obcrash_async_cfe_reader_t reader;
    ASSERT_EQ(obcrash_async_cfe_reader_init(&reader, mapped.get(), CPU_TYPE_X86_64), OBCRASH_OK);
    chain = {};
    chain.reader = &reader;
    chain.imageStart = header;
    chain.imageEnd = file.section("__text").addr + file.section("__text").size;

    struct sigaction action = {}, previous = {};
    action.sa_sigaction = unwindFromFault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGSEGV, &action, &previous), 0);
    uint64_t entry = 0;
    for (const auto& [at, symbol] : symbols) {
        if (symbol == "_unwind_entry") entry = at;
    }
    ASSERT_NE(entry, 0u);
    if (sigsetjmp(chain.back, 1) == 0) callFixture(reinterpret_cast<EntryFunction>(entry));
    sigaction(SIGSEGV, &previous, nullptr);

    ASSERT_EQ(chain.result, OBCRASH_OK);
    ASSERT_EQ(chain.count, 5);
    EXPECT_EQ(nameAt(chain.pcs[0]), "_unwind_innermost");
    EXPECT_EQ(nameAt(chain.pcs[1] - 1), "_unwind_middle");
    EXPECT_EQ(nameAt(chain.pcs[2] - 1), "_unwind_outer");
    EXPECT_EQ(nameAt(chain.pcs[3] - 1), "_unwind_entry");
    // The last step leaves the fixture for the test's own frame.
    EXPECT_LT(chain.pcs[4] - reinterpret_cast<uint64_t>(&callFixture), 0x100u);
}

// --- Decoding --------------------------------------------------------------------------------------

TEST(CompactUnwind, EncodingsDecodeAndApplyForEachArchitecture) {
    // arm64 pointers keep their low 36 bits only, so the stack lies low.
    const size_t page = static_cast<size_t>(getpagesize());
    void* low = mmap(reinterpret_cast<void*>(0x10000000), page, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_NE(low, MAP_FAILED);
    auto* stack = static_cast<uint64_t*>(low);
    for (uint64_t i = 0; i < 8; ++i) stack[i] = 0x100 + i;
    const uint64_t sp = reinterpret_cast<uint64_t>(stack);
    obcrash_async_thread_state_t arm, x86, out;
    obcrash_async_thread_state_init(&arm, CPU_TYPE_ARM64);
    obcrash_async_thread_state_set_reg(&arm, 1, sp);       // fp
    obcrash_async_thread_state_set_reg(&arm, 2, sp);       // sp
    obcrash_async_thread_state_set_reg(&arm, 32, 0x4242);  // lr
    obcrash_async_cfe_entry_t entry;

    ASSERT_EQ(obcrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x04000000), OBCRASH_OK);
    ASSERT_EQ(obcrash_async_cfe_entry_apply(ob_mach_task_self(), 0, &arm, &entry, &out), OBCRASH_OK);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&out, 2), sp + 16);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&out, 1), 0x100u);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&out, 0), 0x101u);

    ASSERT_EQ(obcrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x02001001), OBCRASH_OK);
    ASSERT_EQ(obcrash_async_cfe_entry_apply(ob_mach_task_self(), 0, &arm, &entry, &out), OBCRASH_OK);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&out, 2), sp + 16);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&out, 0), 0x4242u);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&out, 23), 0x100u);  // x20
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&out, 22), 0x101u);  // x19

    // x86-64 frameless, 4 words with the return address, rbx then r12 saved below it.
    const uint32_t saved[2] = {1, 2};
    const uint32_t frameless = 0x02000000 | (4u << 16) | (2u << 10) | obcrash_async_cfe_register_encode(saved, 2);
    obcrash_async_thread_state_init(&x86, CPU_TYPE_X86_64);
    obcrash_async_thread_state_set_reg(&x86, OBCRASH_X86_64_RSP, sp);
    ASSERT_EQ(obcrash_async_cfe_entry_init(&entry, CPU_TYPE_X86_64, frameless), OBCRASH_OK);
    ASSERT_EQ(obcrash_async_cfe_entry_apply(ob_mach_task_self(), 0, &x86, &entry, &out), OBCRASH_OK);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&out, OBCRASH_X86_64_RSP), sp + 32);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&out, OBCRASH_X86_64_RIP), 0x103u);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&out, OBCRASH_X86_64_RBX), 0x101u);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&out, OBCRASH_X86_64_R12), 0x102u);

    // The 32-bit decoder keeps its own numbering: frame-based with ebx, esi saved 8 bytes down.
    ASSERT_EQ(obcrash_async_cfe_entry_init(&entry, CPU_TYPE_X86, 0x01020000 | 1 | (5 << 3)), OBCRASH_OK);
    uint32_t list[10];
    obcrash_async_cfe_entry_register_list(&entry, list);
    EXPECT_EQ(obcrash_async_cfe_entry_stack_offset(&entry), -8);
    ASSERT_EQ(obcrash_async_cfe_entry_register_count(&entry), 2u);
    EXPECT_EQ(list[0], static_cast<uint32_t>(OBCRASH_X86_EBX));
    EXPECT_EQ(list[1], static_cast<uint32_t>(OBCRASH_X86_ESI));
    ASSERT_EQ(obcrash_async_cfe_entry_init(&entry, CPU_TYPE_X86, 0x03000000 | (0x20 << 16) | (1 << 13)), OBCRASH_OK);
    EXPECT_EQ(obcrash_async_cfe_entry_stack_adjustment(&entry), 4u);
    EXPECT_EQ(obcrash_async_cfe_entry_return_address_register(&entry), uint32_t{OBCRASH_ASYNC_CFE_NO_REGISTER});

    EXPECT_EQ(obcrash_async_cfe_entry_init(&entry, CPU_TYPE_X86_64, 0x01000007), OBCRASH_INVALID_ARGUMENT);
    EXPECT_EQ(obcrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x01000000), OBCRASH_NOT_SUPPORTED);
    EXPECT_EQ(obcrash_async_cfe_entry_init(&entry, CPU_TYPE_X86_64, 0x02001C00), OBCRASH_INVALID_ARGUMENT);

    // Every permutation number of every count decodes to distinct registers and encodes back.
    const uint32_t limits[7] = {0, 6, 30, 120, 360, 720, 720};
    for (uint32_t count = 1; count <= 6; ++count) {
        std::set<std::vector<uint32_t>> seen;
        for (uint32_t p = 0; p < limits[count]; ++p) {
            uint32_t regs[6];
            ASSERT_EQ(obcrash_async_cfe_register_decode(p, count, regs), OBCRASH_OK);
            EXPECT_EQ(obcrash_async_cfe_register_encode(regs, count), p);
            seen.insert(std::vector<uint32_t>(regs, regs + count));
        }
        EXPECT_EQ(seen.size(), limits[count]);
    }
    munmap(low, page);
}

// Random damage to real sections: only the known codes, and never a read outside.
TEST(CompactUnwind, DamagedSectionsGiveCodesAndNeverReadOutside) {
    unwindtest::GuardedArea area(8192);
    ASSERT_TRUE(area.ok());
    std::mt19937 random(141);
    for (const std::string name : {"unwind-x86_64", "library-arm64.dylib"}) {
        MachOFile file(fixture(name));
        const MachOFile::Section section = file.section("__unwind_info");
        ASSERT_LE(section.size, 8192u);
        for (int round = 0; round < 1500; ++round) {
            const size_t cut = round % 4 == 0 ? random() % section.size + 1 : section.size;
            uint8_t* data = area.place(file.fileBytes(section), cut);
            for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips) {
                data[random() % cut] = static_cast<uint8_t>(random());
            }
            Mapped mapped(data, cut);
            ASSERT_TRUE(mapped.ok());
            obcrash_async_cfe_reader_t reader;
            if (obcrash_async_cfe_reader_init(&reader, mapped.get(), file.cpuType()) != OBCRASH_OK) continue;
            for (uint32_t pc = 0x300; pc < 0x500; pc += 7) {
                uint32_t function, encoding;
                const obcrash_error_t err = obcrash_async_cfe_reader_find_pc(&reader, pc, &function, &encoding);
                ASSERT_TRUE(err == OBCRASH_OK || err == OBCRASH_INVALID_ARGUMENT || err == OBCRASH_NOT_FOUND) << err;
                obcrash_async_cfe_entry_t entry;
                if (err == OBCRASH_OK) {
                    ASSERT_LE(obcrash_async_cfe_entry_init(&entry, file.cpuType(), encoding), OBCRASH_INVALID_DATA);
                }
            }
        }
    }
}

// Unwind data of another architecture, or with register numbers the thread has not, is bad data
// to the crash handler: an error code for that frame, never a trap that loses the report.
TEST(CompactUnwind, ForeignOrBadRegistersGiveCodesNotTraps) {
    const std::string path = fixture("unwind-arm64");
    const UnwindInfo expected = objdumpUnwindInfo(path);
    ASSERT_FALSE(expected.entries.empty());
    const auto result = crashtest::runInChild([&] {
        const size_t page = static_cast<size_t>(getpagesize());
        std::vector<uint64_t> stack(page / 8, 0x1000);
        const uint64_t sp = reinterpret_cast<uint64_t>(stack.data()) + page / 2;
        obcrash_async_thread_state_t x86, out;
        obcrash_async_thread_state_init(&x86, CPU_TYPE_X86_64);
        obcrash_async_thread_state_set_reg(&x86, OBCRASH_X86_64_RSP, sp);
        obcrash_async_thread_state_set_reg(&x86, OBCRASH_X86_64_RBP, sp);

        // arm64 entries saving x19-x28 and returning through lr, applied to an x86-64 thread.
        obcrash_async_cfe_entry_t entry;
        for (const uint32_t encoding : {0x02001001u, 0x0400001Fu}) {
            if (obcrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, encoding) != OBCRASH_OK ||
                obcrash_async_cfe_entry_apply(ob_mach_task_self(), 0, &x86, &entry, &out) != OBCRASH_INVALID_DATA)
                crashtest::report("an arm64 entry applied to x86-64 registers\n");
        }

        // An arm64 image listed in an x86-64 process is not used for unwinding.
        MachOFile file(path);
        const uint64_t header = file.placeAtLinkAddress();
        if (header == 0) return crashtest::report("not placed\n");
        obcrash_async_image_list_t list;
        obcrash_nasync_image_list_init(&list, ob_mach_task_self());
        obcrash_nasync_image_list_append(&list, header, "unwind-arm64");
        for (const auto& [start, code] : expected.entries) {
            obcrash_async_thread_state_set_reg(&x86, OBCRASH_X86_64_RIP, header + start);
            if (obframe_cursor_read_compact_unwind(ob_mach_task_self(), &list, &x86, nullptr, &out) !=
                    OBFRAME_ENOTSUP ||
                obframe_cursor_read_dwarf_unwind(ob_mach_task_self(), &list, &x86, nullptr, &out) != OBFRAME_ENOTSUP)
                crashtest::report("the arm64 image unwound an x86-64 frame\n");
        }
        obcrash_nasync_image_list_free(&list);
    });
    EXPECT_TRUE(result.exitedCleanly()) << result.status;
    EXPECT_EQ(result.reported, "");
}

}  // namespace
