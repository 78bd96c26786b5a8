#include <gtest/gtest.h>

#include <elf.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crashreporter/OBCrashAsyncDwarfCFAState.hpp"
#include "UnwindTestSupport.h"
#include "support/ChildProcess.h"

using namespace obcrash::OB::async;
using unwindtest::little;
using unwindtest::Mapped;

namespace {

// Everything the unwinder needs about one FDE of a section: its CIE and the rules at `pc`.
obcrash_error_t rulesAt(const obcrash_async_mobject_t* mobj, const obcrash_async_dwarf_fde_info_t& fde, uint64_t pc,
                        obcrash_async_dwarf_cie_info_t* cie, dwarf_cfa_state<uint64_t>* state) {
    const ob_vm_address_t base = obcrash_async_mobject_base_address(mobj);
    gnu_ehptr_reader<uint64_t> reader(little());
    obcrash_error_t err =
        obcrash_async_dwarf_cie_info_init<uint64_t>(cie, mobj, little(), &reader, base + fde.cie_offset);
    if (err != OBCRASH_OK) return err;
    err = state->eval_program(mobj, pc, fde.pc_start, cie, &reader, little(), base, cie->initial_instructions_offset,
                              static_cast<ob_vm_off_t>(cie->initial_instructions_length));
    if (err != OBCRASH_OK) return err;
    return state->eval_program(mobj, pc, fde.pc_start, cie, &reader, little(), base, fde.instructions_offset,
                               static_cast<ob_vm_off_t>(fde.instructions_length));
}

// --- The loaded ELF images and what readelf says about their .eh_frame ---------------------------

struct LoadedElf {
    std::string path;
    uint64_t bias = 0;
};

std::vector<LoadedElf> loadedImages() {
    std::vector<LoadedElf> images;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* context) {
            std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (name.empty()) {  // the program itself
                char path[4096] = {};
                if (readlink("/proc/self/exe", path, sizeof(path) - 1) > 0) name = path;
            }
            static_cast<std::vector<LoadedElf>*>(context)->push_back({name, info->dlpi_addr});
            return 0;
        },
        &images);
    return images;
}

LoadedElf imageNamed(const std::string& part) {
    for (const LoadedElf& image : loadedImages()) {
        if (image.path.find(part) != std::string::npos) return image;
    }
    return {};
}

std::pair<uint64_t, uint64_t> ehFrameSection(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < sizeof(Elf64_Ehdr)) return {0, 0};
    Elf64_Ehdr eh;
    std::memcpy(&eh, file.data(), sizeof(eh));
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    std::memcpy(sections.data(), file.data() + eh.e_shoff, eh.e_shnum * sizeof(Elf64_Shdr));
    const char* names = file.data() + sections[eh.e_shstrndx].sh_offset;
    for (const Elf64_Shdr& s : sections) {
        if (std::strcmp(names + s.sh_name, ".eh_frame") == 0) return {s.sh_addr, s.sh_size};
    }
    return {0, 0};
}

struct Row {
    uint64_t loc = 0;
    std::string text;  // "rsp+16 c-16 c-8": the CFA rule, then the rule of each column
};

struct Entry {
    bool isCie = false;
    uint64_t offset = 0, cie = 0, start = 0, end = 0;
    std::vector<std::string> columns;
    std::vector<Row> rows;
};

std::map<uint64_t, Entry> readelfFrames(const std::string& path, const char* dump) {
    // readelf exits 1 over a missing separate debug file, having printed everything.
    std::istringstream lines(testsupport::runCommand({"readelf", dump, path}, nullptr, 60000));
    std::map<uint64_t, Entry> entries;
    Entry* current = nullptr;
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> w((std::istream_iterator<std::string>(words)), std::istream_iterator<std::string>());
        if (w.size() >= 4 && w[0].size() == 8 && (w[3] == "CIE" || w[3] == "FDE")) {
            Entry e;
            e.offset = std::stoull(w[0], nullptr, 16);
            e.isCie = w[3] == "CIE";
            if (!e.isCie) {
                e.cie = std::stoull(w[4].substr(4), nullptr, 16);
                const std::string range = w[5].substr(3);
                const size_t dots = range.find("..");
                e.start = std::stoull(range.substr(0, dots), nullptr, 16);
                e.end = std::stoull(range.substr(dots + 2), nullptr, 16);
            }
            current = &(entries[e.offset] = e);
        } else if (current != nullptr && w.size() >= 2 && w[0] == "LOC") {
            current->columns.assign(w.begin() + 2, w.end());
        } else if (current != nullptr && w.size() >= 2 && w[0].size() == 16) {
            Row row;
            row.loc = std::stoull(w[0], nullptr, 16);
            row.text = w[1];
            for (size_t i = 2; i < w.size(); ++i) {
                if (w[i][0] != '(') row.text += ' ' + w[i];  // "r3 (rbx)": the name repeats the number
            }
            current->rows.push_back(row);
        }
    }
    return entries;
}

const std::string kRegisterNames[16] = {"rax", "rdx", "rcx", "rbx", "rsi", "rdi", "rbp", "rsp",
                                        "r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15"};

uint32_t dwarfNumber(const std::string& name, uint64_t returnAddressColumn) {
    if (name == "ra") return static_cast<uint32_t>(returnAddressColumn);
    const auto it = std::find(std::begin(kRegisterNames), std::end(kRegisterNames), name);
    EXPECT_NE(it, std::end(kRegisterNames)) << name;
    return static_cast<uint32_t>(it - std::begin(kRegisterNames));
}

// The rules of `state` written the way readelf writes a row; differences show as text.
std::string describe(const dwarf_cfa_state<uint64_t>& state, const std::vector<std::string>& columns,
                     uint64_t returnAddressColumn) {
    std::ostringstream out;
    const dwarf_cfa_rule<uint64_t> cfa = state.get_cfa_rule();
    if (cfa.type() == DWARF_CFA_RULE_EXPRESSION) {
        out << "exp";
    } else if (cfa.type() == DWARF_CFA_RULE_UNDEFINED || cfa.register_number() >= 16) {
        out << "?";
    } else {
        const int64_t offset = cfa.register_offset_signed();
        out << kRegisterNames[cfa.register_number()] << (offset < 0 ? "" : "+") << offset;
    }
    size_t described = 0;
    for (const std::string& column : columns) {
        obcrash_dwarf_cfa_reg_rule_t rule;
        uint64_t value;
        out << ' ';
        if (!state.get_register_rule(dwarfNumber(column, returnAddressColumn), &rule, &value)) {
            out << 'u';
            continue;
        }
        ++described;
        const int64_t signedValue = static_cast<int64_t>(value);
        const char* sign = signedValue < 0 ? "" : "+";
        switch (rule) {
        case OBCRASH_DWARF_CFA_REG_RULE_OFFSET: out << 'c' << sign << signedValue; break;
        case OBCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET: out << 'v' << sign << signedValue; break;
        case OBCRASH_DWARF_CFA_REG_RULE_REGISTER: out << 'r' << value; break;
        case OBCRASH_DWARF_CFA_REG_RULE_EXPRESSION: out << "exp"; break;
        case OBCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION: out << "vexp"; break;
        case OBCRASH_DWARF_CFA_REG_RULE_SAME_VALUE: out << 's'; break;
        }
    }
    if (described != state.get_register_count()) out << " +" << state.get_register_count() - described << " more";
    return out.str();
}

// Every FDE readelf lists is found for its first and last address, and at every row readelf
// interprets, the CFA rule and the register rules are the same.
void checkImage(const LoadedElf& image) {
    SCOPED_TRACE(image.path);
    const auto [address, size] = ehFrameSection(image.path);
    ASSERT_NE(size, 0u);
    Mapped section(reinterpret_cast<const void*>(image.bias + address), size);
    ASSERT_TRUE(section.ok());
    dwarf_frame_reader reader;
    reader.init(section.get(), little(), true, false);

    const std::map<uint64_t, Entry> listed = readelfFrames(image.path, "--debug-dump=frames");
    const std::map<uint64_t, Entry> interpreted = readelfFrames(image.path, "--debug-dump=frames-interp");
    size_t fdes = 0, rows = 0, failures = 0;
    // The search is a linear walk, so a walk from the section start for every FDE would take
    // quadratic time: every 50th FDE is sought from the start, the others from 16 entries back.
    std::vector<uint64_t> offsets;
    for (const auto& [offset, entry] : listed) {
        offsets.push_back(offset);
        if (entry.isCie || entry.start == entry.end) continue;
        const uint64_t from = fdes++ % 50 == 0 || offsets.size() <= 16 ? 0 : offsets[offsets.size() - 17];
        for (const uint64_t pc : {entry.start, entry.end - 1}) {
            obcrash_async_dwarf_fde_info_t fde;
            const obcrash_error_t err = reader.find_fde(static_cast<ob_vm_off_t>(from), image.bias + pc, &fde);
            if (err != OBCRASH_OK || fde.fde_offset != offset + 4 || fde.pc_start != image.bias + entry.start ||
                fde.pc_end != image.bias + entry.end) {
                if (++failures < 10)
                    ADD_FAILURE() << "FDE at " << std::hex << offset << " for pc " << pc << ": " << err;
            }
        }

        const Entry& rules = interpreted.at(offset);
        const Entry& cie = interpreted.at(entry.cie);
        // An FDE that changes nothing has no rows of its own: the CIE's rules hold throughout.
        std::vector<Row> expectedRows = rules.rows;
        std::vector<std::string> columns = rules.columns;
        if (expectedRows.empty() && !cie.rows.empty()) {
            expectedRows = {cie.rows.back()};
            expectedRows[0].loc = entry.start;
            columns = cie.columns;
        }
        for (const Row& row : expectedRows) {
            ++rows;
            obcrash_async_dwarf_fde_info_t fde;
            ASSERT_EQ(obcrash_async_dwarf_fde_info_init<uint64_t>(&fde, section.get(), little(),
                                                                  section.base() + offset, false),
                      OBCRASH_OK);
            obcrash_async_dwarf_cie_info_t cieInfo;
            dwarf_cfa_state<uint64_t> state;
            const obcrash_error_t err = rulesAt(section.get(), fde, image.bias + row.loc, &cieInfo, &state);
            const std::string got = err == OBCRASH_OK ? describe(state, columns, cieInfo.return_address_register)
                                                      : "error " + std::to_string(err);
            if (got != row.text && ++failures < 10) {
                ADD_FAILURE() << "FDE at " << std::hex << offset << " row " << row.loc << ": " << got
                              << " != " << row.text;
            }
        }
    }
    EXPECT_EQ(failures, 0u);
    EXPECT_GT(fdes, 10u);
    EXPECT_GT(rows, fdes);
}

TEST(DwarfCallFrames, EveryFdeAndRowOfLoadedLibrariesAgreesWithReadelf) {
    checkImage(imageNamed("libc.so.6"));
    checkImage(imageNamed("libstdc++.so.6"));
    checkImage(loadedImages().front());
}

// --- One step through the signal return trampoline ---------------------------------------------

struct TrampolineStep {
    const obcrash_async_mobject_t* libcEhFrame = nullptr;
    obcrash_error_t result = OBCRASH_UNKNOWN;
    uint64_t interruptedRip = 0, interruptedRsp = 0, unwoundRip = 0, unwoundRsp = 0;
    bool signalFrame = false;
};
TrampolineStep trampoline;

// Unwinds, inside the handler while its signal frame is alive, from the trampoline the handler
// returns to: its rules are DWARF expressions over the saved context.
void stepThroughTrampoline(int, siginfo_t*, void* context) {
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
    trampoline.interruptedRip = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
    trampoline.interruptedRsp = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RSP]);

    obcrash_async_thread_state_t state, caller;
    obcrash_async_thread_state_init(&state, CPU_TYPE_X86_64);
    const uint64_t restorer = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    obcrash_async_thread_state_set_reg(&state, OBCRASH_X86_64_RIP, restorer);
    // Returning from the handler pops the return address; the stack pointer is then the context.
    obcrash_async_thread_state_set_reg(&state, OBCRASH_X86_64_RSP, reinterpret_cast<uint64_t>(context));

    dwarf_frame_reader reader;
    reader.init(trampoline.libcEhFrame, little(), true, false);
    obcrash_async_dwarf_fde_info_t fde;
    obcrash_async_dwarf_cie_info_t cie;
    dwarf_cfa_state<uint64_t> rules;
    if ((trampoline.result = reader.find_fde(0, restorer, &fde)) != OBCRASH_OK) return;
    if ((trampoline.result = rulesAt(trampoline.libcEhFrame, fde, restorer, &cie, &rules)) != OBCRASH_OK) return;
    trampoline.signalFrame = cie.signal_frame;
    trampoline.result = rules.apply_state(ob_mach_task_self(), &cie, &state, little(), &caller);
    trampoline.unwoundRip = obcrash_async_thread_state_get_reg(&caller, OBCRASH_X86_64_RIP);
    trampoline.unwoundRsp = obcrash_async_thread_state_get_reg(&caller, OBCRASH_X86_64_RSP);
}

TEST(DwarfCallFrames, SignalTrampolineExpressionsGiveTheInterruptedFrame) {
    const LoadedElf libc = imageNamed("libc.so.6");
    const auto [address, size] = ehFrameSection(libc.path);
    Mapped section(reinterpret_cast<const void*>(libc.bias + address), size);
    ASSERT_TRUE(section.ok());
    trampoline = {};
    trampoline.libcEhFrame = section.get();

    struct sigaction action = {}, previous = {};
    action.sa_sigaction = stepThroughTrampoline;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
    raise(SIGUSR2);
    sigaction(SIGUSR2, &previous, nullptr);

    ASSERT_EQ(trampoline.result, OBCRASH_OK);
    EXPECT_TRUE(trampoline.signalFrame);
    EXPECT_EQ(trampoline.unwoundRip, trampoline.interruptedRip);
    EXPECT_EQ(trampoline.unwoundRsp, trampoline.interruptedRsp);
}

// --- CFA programs -------------------------------------------------------------------------------

obcrash_async_dwarf_cie_info_t plainCie() {
    obcrash_async_dwarf_cie_info_t cie{};
    cie.code_alignment_factor = 1;
    cie.data_alignment_factor = -8;
    cie.return_address_register = 16;
    return cie;
}

obcrash_error_t run(dwarf_cfa_state<uint64_t>* state, const std::vector<uint8_t>& program, uint64_t pc = 0,
                    uint64_t start = 0x1000) {
    const obcrash_async_dwarf_cie_info_t cie = plainCie();
    std::vector<uint8_t> bytes = program;
    bytes.push_back(0);  // a byte past the program, so an empty one still maps
    Mapped mapped(bytes.data(), bytes.size());
    if (!mapped.ok()) return OBCRASH_UNKNOWN;
    gnu_ehptr_reader<uint64_t> reader(little());
    return state->eval_program(mapped.get(), pc, start, &cie, &reader, little(), mapped.base(), 0,
                               static_cast<ob_vm_off_t>(program.size()));
}

std::string rulesOf(const dwarf_cfa_state<uint64_t>& state) { return describe(state, {"rbx", "rbp", "r12", "ra"}, 16); }

TEST(DwarfCallFrames, CfaProgramsKeepRememberedRulesAndRefuseBadPrograms) {
    // def_cfa rsp+8; rbx at c-16; remember; cfa offset 32; rbp at c-24; advance 1; restore_state.
    const std::vector<uint8_t> remembered = {0x0C, 7, 8, 0x83, 2, 0x0A, 0x0E, 32, 0x86, 3, 0x41, 0x0B};
    dwarf_cfa_state<uint64_t> inside;
    ASSERT_EQ(run(&inside, remembered, 0x1000), OBCRASH_OK);
    EXPECT_EQ(rulesOf(inside), "rsp+32 c-16 c-24 u u");  // the remembered level starts as a copy
    dwarf_cfa_state<uint64_t> after;
    ASSERT_EQ(run(&after, remembered), OBCRASH_OK);
    EXPECT_EQ(rulesOf(after), "rsp+8 c-16 u u u");

    // Levels give their entries back: many remember/restore pairs over 30 rules fit the pool.
    std::vector<uint8_t> pairs = {0x0C, 7, 8};
    for (uint8_t reg = 20; reg < 50; ++reg) pairs.insert(pairs.end(), {0x05, reg, 1});
    for (int i = 0; i < 200; ++i) pairs.insert(pairs.end(), {0x0A, 0x0A, 0x0B, 0x0B});
    dwarf_cfa_state<uint64_t> reused;
    EXPECT_EQ(run(&reused, pairs), OBCRASH_OK);
    EXPECT_EQ(reused.get_register_count(), 30);

    // The outgoing-argument size of a landing pad changes no rule; what follows it still runs.
    dwarf_cfa_state<uint64_t> argsSize;
    EXPECT_EQ(run(&argsSize, {0x0C, 7, 8, 0x2E, 0x90, 0x01, 0x0E, 16, 0x90, 1}), OBCRASH_OK);
    EXPECT_EQ(rulesOf(argsSize), "rsp+16 u u u c-8");

    // DW_CFA_restore goes back to the rules the program started from.
    dwarf_cfa_state<uint64_t> restored;
    ASSERT_EQ(run(&restored, {0x0C, 7, 8, 0x83, 1}), OBCRASH_OK);
    ASSERT_EQ(run(&restored, {0x83, 2, 0x86, 3, 0x8C, 4, 0xC3, 0x06, 6}), OBCRASH_OK);
    EXPECT_EQ(rulesOf(restored), "rsp+8 c-8 u c-32 u");

    std::vector<uint8_t> tooMany = {0x0C, 7, 8};
    for (int reg = 0; reg < 101; ++reg) tooMany.insert(tooMany.end(), {0x05, static_cast<uint8_t>(reg), 1});
    const struct {
        std::vector<uint8_t> program;
        obcrash_error_t code;
    } refused[] = {
        {{0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A}, OBCRASH_NO_MEMORY},
        {{0x0B}, OBCRASH_INVALID_ARGUMENT},
        {{0x0E, 16}, OBCRASH_INVALID_ARGUMENT},
        {{0x0D, 6}, OBCRASH_INVALID_ARGUMENT},
        {{0x2F, 1, 1}, OBCRASH_NOT_SUPPORTED},
        {{0x0C, 0x87}, OBCRASH_INVALID_ARGUMENT},
        {{0x10, 3, 5, 0x77}, OBCRASH_INVALID_ARGUMENT},
        {{0x0F, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, OBCRASH_NOT_SUPPORTED},
        {{0x05, 0x80, 0x80, 0x80, 0x80, 0x10, 1}, OBCRASH_NOT_SUPPORTED},
        {{0x03, 1}, OBCRASH_INVALID_ARGUMENT},
        {tooMany, OBCRASH_NO_MEMORY},
    };
    for (const auto& c : refused) {
        dwarf_cfa_state<uint64_t> state;
        EXPECT_EQ(run(&state, c.program), c.code) << testing::PrintToString(c.program);
    }
    dwarf_cfa_state<uint64_t> undefinedCfa;
    obcrash_async_thread_state_t ts, out;
    obcrash_async_thread_state_init(&ts, CPU_TYPE_X86_64);
    const obcrash_async_dwarf_cie_info_t cie = plainCie();
    EXPECT_EQ(undefinedCfa.apply_state(ob_mach_task_self(), &cie, &ts, little(), &out), OBCRASH_INVALID_ARGUMENT);
}

// A CIE "zR" with pc-relative sdata4 pointers and one FDE of it, damaged one field at a time.
TEST(DwarfCallFrames, DamagedEntriesGiveTheirCodes) {
    const std::vector<uint8_t> good = {
        0x14, 0, 0, 0, 0,    0, 0, 0, 1, 'z', 'R', 0, 1,    0x78, 16, 1, 0x1B, 0x0C, 7,    8,  0x90, 1, 0, 0,  // CIE
        0x10, 0, 0, 0, 0x1C, 0, 0, 0, 0, 1,   0,   0, 0x10, 0,    0,  0, 0,    0x41, 0x0E, 16,                 // FDE
        0,    0, 0, 0};
    const struct {
        size_t at;
        uint8_t value;
        obcrash_error_t code;
    } damages[] = {{0, 0x14, OBCRASH_OK},
                   {8, 2, OBCRASH_INVALID_ARGUMENT},
                   {9, 'e', OBCRASH_NOT_SUPPORTED},
                   {16, 0x08, OBCRASH_NOT_SUPPORTED},
                   {16, 0x2B, OBCRASH_NOT_SUPPORTED},
                   {28, 0xFF, OBCRASH_INVALID_ARGUMENT},
                   {24, 0, OBCRASH_NOT_FOUND},
                   {24, 0x02, OBCRASH_INVALID_ARGUMENT}};
    for (const auto& d : damages) {
        std::vector<uint8_t> bytes = good;
        bytes[d.at] = d.value;
        Mapped section(bytes.data(), bytes.size());
        ASSERT_TRUE(section.ok());
        dwarf_frame_reader reader;
        reader.init(section.get(), little(), true, false);
        obcrash_async_dwarf_fde_info_t fde;
        const uint64_t pc = section.base() + 32 + 0x100;
        ASSERT_EQ(reader.find_fde(0, pc + 0xF, &fde), d.code) << d.at;
        if (d.code == OBCRASH_OK) {
            EXPECT_EQ(fde.pc_start, pc);
            EXPECT_EQ(fde.pc_end, pc + 0x10);
            EXPECT_EQ(fde.instructions_length, 3u);
            EXPECT_EQ(reader.find_fde(0, pc + 0x10, &fde), OBCRASH_NOT_FOUND);
        }
    }
    const uint8_t numbers[] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x10, 0, 0, 0, 1, 0, 0, 0};
    Mapped mapped(numbers, sizeof(numbers));
    uint64_t value;
    ob_vm_size_t size;
    EXPECT_EQ(obcrash_async_dwarf_read_uleb128(mapped.get(), mapped.base(), 0, &value, &size), OBCRASH_NOT_SUPPORTED);
    uint32_t narrow;
    gnu_ehptr_reader<uint32_t> reader(little());
    ASSERT_EQ(reader.read(mapped.get(), mapped.base(), 10, DW_EH_PE_udata8, &narrow, &size), OBCRASH_OK);
    EXPECT_EQ(narrow, 0x10u);  // 0x1_0000_0010 in a 32-bit image
    EXPECT_EQ(reader.read(mapped.get(), mapped.base(), 0, DW_EH_PE_omit, &narrow, &size), OBCRASH_NOT_FOUND);
}

// --- Expressions --------------------------------------------------------------------------------

TEST(DwarfExpressions, EveryOperationOnItsTable) {
    uint64_t memory[2] = {0x1122334455667788ull, 0};
    const uint64_t at = reinterpret_cast<uint64_t>(&memory[0]);
    obcrash_async_thread_state_t ts;
    obcrash_async_thread_state_init(&ts, CPU_TYPE_X86_64);
    obcrash_async_thread_state_set_reg(&ts, OBCRASH_X86_64_RSP, 0x7000);
    obcrash_async_thread_state_set_reg(&ts, OBCRASH_X86_64_RBX, at);

    auto u64 = [](uint64_t v) {
        std::vector<uint8_t> b(8);
        std::memcpy(b.data(), &v, 8);
        return b;
    };
    auto cat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const uint64_t M = ~0ull;
    std::vector<uint8_t> lits100(100, 0x30), lits101(101, 0x30);
    const struct Case {
        std::vector<uint8_t> ops;
        std::vector<uint64_t> initial;
        obcrash_error_t code;
        uint64_t value;
        bool narrow = false;  // the 32-bit instance
    } cases[] = {
        // Programs as bytes (0x30 + n pushes n, 0x70 + r adds register r); rbx points at `memory`.
        // clang-format off
        {{0x77, 16}, {}, OBCRASH_OK, 0x7010}, {{0x92, 7, 0x70}, {}, OBCRASH_OK, 0x7000 - 16},
        {{0x71}, {}, OBCRASH_NOT_FOUND, 0}, {{0x80, 0}, {}, OBCRASH_NOT_SUPPORTED, 0},
        {{0x23, 8}, {0x5000}, OBCRASH_OK, 0x5008}, {{0x35, 0x33, 0x1C}, {}, OBCRASH_OK, 2},
        {{0x33, 0x35, 0x1C}, {}, OBCRASH_OK, M - 1}, {{0x33, 0x35, 0x1C}, {}, OBCRASH_OK, 0xFFFFFFFE, true},
        {{0x31, 0x30, 0x1B}, {}, OBCRASH_INVALID_ARGUMENT, 0}, {{0x31, 0x30, 0x1D}, {}, OBCRASH_INVALID_ARGUMENT, 0},
        {{0x3B, 0x34, 0x1B}, {}, OBCRASH_OK, 2}, {{0x3B, 0x34, 0x1D}, {}, OBCRASH_OK, 3},
        {{0x33, 0x34, 0x1E}, {}, OBCRASH_OK, 12}, {{0x31, 0x1F, 0x30, 0x2D}, {}, OBCRASH_OK, 0},
        {{0x31, 0x1F, 0x34, 0x25}, {}, OBCRASH_OK, M >> 4}, {{0x31, 0x1F, 0x34, 0x26}, {}, OBCRASH_OK, M},
        {{0x31, 0x34, 0x24}, {}, OBCRASH_OK, 16}, {{0x31, 0x1F, 0x19}, {}, OBCRASH_OK, 1},
        {{0x30, 0x20}, {}, OBCRASH_OK, M}, {{0x3C, 0x3A, 0x1A}, {}, OBCRASH_OK, 8},
        {{0x3C, 0x33, 0x21}, {}, OBCRASH_OK, 15}, {{0x3C, 0x3A, 0x27}, {}, OBCRASH_OK, 6},
        {{0x33, 0x34, 0x22}, {}, OBCRASH_OK, 7}, {{0x33, 0x33, 0x29}, {}, OBCRASH_OK, 1},
        {{0x33, 0x34, 0x2A}, {}, OBCRASH_OK, 0}, {{0x34, 0x33, 0x2B}, {}, OBCRASH_OK, 1},
        {{0x33, 0x33, 0x2C}, {}, OBCRASH_OK, 1}, {{0x33, 0x34, 0x2E}, {}, OBCRASH_OK, 1},
        {{0x31, 0x32, 0x33, 0x17}, {}, OBCRASH_OK, 2}, {{0x31, 0x32, 0x33, 0x17, 0x13}, {}, OBCRASH_OK, 1},
        {{0x31, 0x32, 0x33, 0x17, 0x13, 0x13}, {}, OBCRASH_OK, 3},
        {{0x31, 0x32, 0x17}, {}, OBCRASH_INVALID_ARGUMENT, 0}, {{0x31, 0x32, 0x14}, {}, OBCRASH_OK, 1},
        {{0x31, 0x32, 0x33, 0x15, 2}, {}, OBCRASH_OK, 1}, {{0x31, 0x15, 1}, {}, OBCRASH_INVALID_ARGUMENT, 0},
        {{0x31, 0x32, 0x16}, {}, OBCRASH_OK, 1}, {{0x31, 0x16}, {}, OBCRASH_INVALID_ARGUMENT, 0},
        {{0x31, 0x12, 0x22}, {}, OBCRASH_OK, 2}, {{0x12}, {}, OBCRASH_INVALID_ARGUMENT, 0},
        {{0x13}, {}, OBCRASH_INVALID_ARGUMENT, 0}, {{0x31, 0x22}, {}, OBCRASH_INTERNAL, 0},
        {{0x08, 0xFF}, {}, OBCRASH_OK, 0xFF}, {{0x09, 0xFF}, {}, OBCRASH_OK, M},
        {{0x0A, 0x34, 0x12}, {}, OBCRASH_OK, 0x1234}, {{0x0B, 0xFE, 0xFF}, {}, OBCRASH_OK, M - 1},
        {{0x0C, 1, 0, 0, 0x80}, {}, OBCRASH_OK, 0x80000001},
        {{0x0D, 1, 0, 0, 0x80}, {}, OBCRASH_OK, 0xFFFFFFFF80000001ull},
        {cat({0x0E}, u64(0x1000000010)), {}, OBCRASH_OK, 0x10, true}, {cat({0x0F}, u64(M)), {}, OBCRASH_OK, M},
        {{0x0C, 1, 0}, {}, OBCRASH_INVALID_ARGUMENT, 0}, {{0x10, 0xE5, 0x8E, 0x26}, {}, OBCRASH_OK, 624485},
        {{0x11, 0x7F}, {}, OBCRASH_OK, M}, {{0x10, 0x80}, {}, OBCRASH_INVALID_ARGUMENT, 0},
        {{0x73, 0, 0x06}, {}, OBCRASH_OK, memory[0]}, {{0x73, 0, 0x94, 2}, {}, OBCRASH_OK, 0x7788},
        {{0x73, 0, 0x94, 3}, {}, OBCRASH_INVALID_ARGUMENT, 0},
        {{0x73, 0, 0x94, 8}, {}, OBCRASH_INVALID_ARGUMENT, 0, true},
        {{0x30, 0x73, 0, 0x18}, {}, OBCRASH_OK, memory[0]}, {{0x30, 0x73, 0, 0x95, 1}, {}, OBCRASH_OK, 0x88},
        {{0x30, 0x06}, {}, OBCRASH_NOT_FOUND, 0}, {{0x30, 0x28, 0, 0, 0x35}, {}, OBCRASH_OK, 5},
        {{0x31, 0x28, 1, 0, 0x35, 0x36}, {}, OBCRASH_OK, 6}, {{0x31, 0x28, 9, 0}, {}, OBCRASH_INVALID_ARGUMENT, 0},
        {{0x2F, 1, 0, 0x35, 0x36}, {}, OBCRASH_OK, 6}, {{0x36, 0x2F, 0, 0}, {}, OBCRASH_OK, 6},
        {{0x2F, 0xFB, 0xFF}, {}, OBCRASH_INVALID_ARGUMENT, 0}, {{0x96}, {9}, OBCRASH_OK, 9},
        {{}, {}, OBCRASH_INVALID_ARGUMENT, 0}, {{}, {42}, OBCRASH_OK, 42}, {{0x03}, {}, OBCRASH_NOT_SUPPORTED, 0},
        {{0x50}, {}, OBCRASH_NOT_SUPPORTED, 0}, {{0x91, 0}, {}, OBCRASH_NOT_SUPPORTED, 0},
        {{0x9C}, {}, OBCRASH_NOT_SUPPORTED, 0}, {lits100, {}, OBCRASH_OK, 0}, {lits101, {}, OBCRASH_INTERNAL, 0},
        {cat(lits100, {0x14}), {}, OBCRASH_INVALID_ARGUMENT, 0},
        {{0x30, 0x13, 0x2F, 0xFB, 0xFF}, {}, OBCRASH_INVALID_ARGUMENT, 0},  // loops for ever
        // clang-format on
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = c.ops;
        bytes.push_back(0);
        Mapped mapped(bytes.data(), bytes.size());
        ASSERT_TRUE(mapped.ok());
        obcrash_error_t code;
        uint64_t value = 0;
        if (c.narrow) {
            std::vector<uint32_t> initial(c.initial.begin(), c.initial.end());
            uint32_t narrow = 0;
            code = obcrash_async_dwarf_expression_eval<uint32_t>(mapped.get(), ob_mach_task_self(), &ts, little(),
                                                                 mapped.base(), 0, c.ops.size(), initial.data(),
                                                                 initial.size(), &narrow);
            value = narrow;
        } else {
            code = obcrash_async_dwarf_expression_eval<uint64_t>(mapped.get(), ob_mach_task_self(), &ts, little(),
                                                                 mapped.base(), 0, c.ops.size(), c.initial.data(),
                                                                 c.initial.size(), &value);
        }
        EXPECT_EQ(code, c.code) << testing::PrintToString(c.ops);
        if (code == OBCRASH_OK && c.code == OBCRASH_OK) {
            EXPECT_EQ(value, c.value) << testing::PrintToString(c.ops);
        }
    }
}

// --- Hostile sections ---------------------------------------------------------------------------

// Random damage to a real section, placed so that its last byte ends a page followed by an
// unreadable one: every path gives one of the known codes and no read leaves the section.
TEST(DwarfCallFrames, DamagedSectionsGiveCodesAndNeverReadOutside) {
    const LoadedElf libc = imageNamed("libc.so.6");
    const auto [address, size] = ehFrameSection(libc.path);
    const size_t length = std::min<uint64_t>(size, 16384);
    unwindtest::GuardedArea area(length);
    ASSERT_TRUE(area.ok());
    const uint8_t* original = reinterpret_cast<const uint8_t*>(libc.bias + address);

    // The FDEs of the undamaged part, to aim the searches at.
    std::vector<uint64_t> pcs;
    {
        Mapped whole(original, length);
        ASSERT_TRUE(whole.ok());
        for (uint64_t at = 0; at + 8 <= length;) {
            uint32_t entryLength, id;
            std::memcpy(&entryLength, original + at, 4);
            std::memcpy(&id, original + at + 4, 4);
            if (entryLength == 0 || at + 4 + entryLength > length) break;
            obcrash_async_dwarf_fde_info_t fde;
            if (id != 0 && obcrash_async_dwarf_fde_info_init<uint64_t>(&fde, whole.get(), little(), whole.base() + at,
                                                                       false) == OBCRASH_OK)
                pcs.push_back(fde.pc_start);
            at += 4 + entryLength;
        }
    }
    ASSERT_GT(pcs.size(), 50u);

    std::mt19937_64 random(36);
    obcrash_async_thread_state_t ts, out;
    obcrash_async_thread_state_init(&ts, CPU_TYPE_X86_64);
    uint64_t stack[64] = {};
    obcrash_async_thread_state_set_reg(&ts, OBCRASH_X86_64_RSP, reinterpret_cast<uint64_t>(stack));
    obcrash_async_thread_state_set_reg(&ts, OBCRASH_X86_64_RBP, reinterpret_cast<uint64_t>(stack + 8));
    size_t found = 0;
    for (int round = 0; round < 3000; ++round) {
        const size_t cut = round % 5 == 0 ? random() % length + 1 : length;
        uint8_t* data = area.place(original, cut);
        for (int flips = 1 + static_cast<int>(random() % 6); flips > 0; --flips) {
            const size_t at = random() % cut;
            data[at] = round % 3 == 0 ? static_cast<uint8_t>(random()) : data[at] ^ (1u << (random() % 8));
        }
        Mapped section(data, cut);
        ASSERT_TRUE(section.ok());
        const bool m64 = round % 7 != 0;
        dwarf_frame_reader reader;
        reader.init(section.get(), little(), m64, round % 11 == 0);
        // A pc inside some FDE of the undamaged section, read from it by offset.
        // Pointers are relative to where the section lies, and so is every pc.
        const uint64_t pc = pcs[random() % pcs.size()] - reinterpret_cast<uint64_t>(original) +
                            reinterpret_cast<uint64_t>(data) + random() % 8;
        obcrash_async_dwarf_fde_info_t fde;
        obcrash_error_t err = reader.find_fde(0, pc, &fde);
        ASSERT_LE(err, OBCRASH_INVALID_DATA);
        if (err != OBCRASH_OK) continue;
        ++found;
        obcrash_async_dwarf_cie_info_t cie;
        dwarf_cfa_state<uint64_t> rules;
        err = rulesAt(section.get(), fde, pc, &cie, &rules);
        ASSERT_LE(err, OBCRASH_INVALID_DATA);
        if (err == OBCRASH_OK) {
            ASSERT_LE(rules.apply_state(ob_mach_task_self(), &cie, &ts, little(), &out), OBCRASH_INVALID_DATA);
        }
    }
    EXPECT_GT(found, 100u);
}

}  // namespace
