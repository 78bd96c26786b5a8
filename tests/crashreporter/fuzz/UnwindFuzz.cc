/* libFuzzer target for the call-frame and compact unwind readers; not part of the build. Run from
 * the top folder (the C sources are compiled apart, as C):
 *   for f in src/crashreporter/OBCrashAsync*.c; do
 *     clang -g -O1 -fsanitize=fuzzer-no-link,address,undefined -Isrc -c $f -o /tmp/$(basename $f).o; done
 *   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc tests/crashreporter/fuzz/UnwindFuzz.cc \
 *     /tmp/OBCrashAsync*.c.o -o /tmp/unwind_fuzz
 *   /tmp/unwind_fuzz -max_total_time=300 <corpus of .eh_frame and __unwind_info sections>
 * The first byte picks the reader and a pc; the rest becomes a section followed by an unreadable
 * page. */
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "crashreporter/OBCrashAsyncCompactUnwind.h"
#include "crashreporter/OBCrashAsyncDwarfCFAState.hpp"

using namespace obcrash::OB::async;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t choice = data[0];
    ++data;
    --size;
    const size_t page = (size_t)getpagesize();
    const size_t pages = (size + page - 1) / page;
    uint8_t* area =
        (uint8_t*)mmap(nullptr, (pages + 1) * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return 0;
    mprotect(area + pages * page, page, PROT_NONE);
    uint8_t* section = area + pages * page - size;
    memcpy(section, data, size);

    obcrash_async_mobject_t mobj;
    if (obcrash_async_mobject_init(&mobj, ob_mach_task_self(), (uintptr_t)section, size, true) == OBCRASH_OK) {
        const obcrash_async_byteorder_t* order = obcrash_async_byteorder_little_endian();
        if (choice & 1) {
            obcrash_async_cfe_reader_t reader;
            if (obcrash_async_cfe_reader_init(&reader, &mobj, (choice & 2) ? CPU_TYPE_ARM64 : CPU_TYPE_X86_64) ==
                OBCRASH_OK) {
                uint32_t function, encoding;
                obcrash_async_cfe_entry_t entry;
                if (obcrash_async_cfe_reader_find_pc(&reader, (uint32_t)choice << 4, &function, &encoding) ==
                        OBCRASH_OK &&
                    obcrash_async_cfe_entry_init(&entry, (choice & 2) ? CPU_TYPE_ARM64 : CPU_TYPE_X86, encoding) ==
                        OBCRASH_OK) {
                    // Applied to this machine's registers, whatever architecture the entry is of.
                    obcrash_async_thread_state_t ts, out;
                    uint64_t stack[64] = {};
                    obcrash_async_thread_state_init(&ts, CPU_TYPE_X86_64);
                    obcrash_async_thread_state_set_reg(&ts, OBCRASH_X86_64_RSP, (uint64_t)(stack + 16));
                    obcrash_async_thread_state_set_reg(&ts, OBCRASH_X86_64_RBP, (uint64_t)(stack + 32));
                    obcrash_async_cfe_entry_apply(ob_mach_task_self(), (uintptr_t)section, &ts, &entry, &out);
                }
            }
        } else {
            dwarf_frame_reader reader;
            reader.init(&mobj, order, (choice & 2) == 0, (choice & 4) != 0);
            obcrash_async_dwarf_fde_info_t fde;
            const uint64_t pc = (uintptr_t)section + (choice >> 3) * 4;
            if (reader.find_fde(0, pc, &fde) == OBCRASH_OK) {
                obcrash_async_dwarf_cie_info_t cie;
                gnu_ehptr_reader<uint64_t> pointers(order);
                dwarf_cfa_state<uint64_t> state;
                const ob_vm_address_t base = obcrash_async_mobject_base_address(&mobj);
                if (obcrash_async_dwarf_cie_info_init<uint64_t>(&cie, &mobj, order, &pointers, base + fde.cie_offset) ==
                        OBCRASH_OK &&
                    state.eval_program(&mobj, pc, fde.pc_start, &cie, &pointers, order, base,
                                       cie.initial_instructions_offset,
                                       (ob_vm_off_t)cie.initial_instructions_length) == OBCRASH_OK &&
                    state.eval_program(&mobj, pc, fde.pc_start, &cie, &pointers, order, base, fde.instructions_offset,
                                       (ob_vm_off_t)fde.instructions_length) == OBCRASH_OK) {
                    obcrash_async_thread_state_t ts, out;
                    uint64_t stack[32] = {};
                    obcrash_async_thread_state_init(&ts, CPU_TYPE_X86_64);
                    obcrash_async_thread_state_set_reg(&ts, OBCRASH_X86_64_RSP, (uint64_t)stack);
                    state.apply_state(ob_mach_task_self(), &cie, &ts, order, &out);
                }
            }
            // The expression evaluator straight on the input.
            uint64_t result;
            obcrash_async_thread_state_t ts;
            obcrash_async_thread_state_init(&ts, CPU_TYPE_X86_64);
            obcrash_async_dwarf_expression_eval<uint64_t>(&mobj, ob_mach_task_self(), &ts, order, (uintptr_t)section, 0,
                                                          (ob_vm_off_t)size, nullptr, 0, &result);
        }
        obcrash_async_mobject_free(&mobj);
    }
    munmap(area, (pages + 1) * page);
    return 0;
}
