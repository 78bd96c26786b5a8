/* libFuzzer target for the Mach-O image parser; not part of the build. Run from the top folder:
 *   clang -g -O1 -fsanitize=fuzzer,address,undefined -Isrc tests/crashreporter/fuzz/MachOFuzz.c \
 *     src/crashreporter/OBCrashAsync*.c -o /tmp/macho_fuzz
 *   /tmp/macho_fuzz -max_total_time=300 <corpus folder seeded with the Mach-O fixtures>
 * The input becomes an image in memory followed by an unreadable page, as a cut-short image would
 * lie in a process. */
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "crashreporter/OBCrashAsyncMachO.h"

static void found(ob_vm_address_t address, const char* name, void* context) {
    (void)address;
    *(size_t*)context += strlen(name);
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t page = (size_t)getpagesize();
    const size_t length = (size + page - 1) / page * page + page;
    uint8_t* area = mmap(NULL, length + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return 0;
    /* The image ends right at the guard page. */
    uint8_t* image_start = area + (length - size);
    memcpy(image_start, data, size);
    mprotect(area + length, page, PROT_NONE);

    obcrash_async_macho_t image;
    if (obcrash_nasync_macho_init(&image, ob_mach_task_self(), "fuzz", (uintptr_t)image_start) == OBCRASH_OK) {
        static const char* sections[][2] = {{"__TEXT", "__text"},     {"__TEXT", "__unwind_info"},
                                            {"__TEXT", "__eh_frame"}, {"__DWARF", "__debug_frame"},
                                            {"__DATA", "__data"},     {"__LINKEDIT", "__x"}};
        for (size_t i = 0; i < sizeof(sections) / sizeof(sections[0]); ++i) {
            obcrash_async_mobject_t mobj;
            if (obcrash_async_macho_map_section(&image, sections[i][0], sections[i][1], &mobj) == OBCRASH_OK)
                obcrash_async_mobject_free(&mobj);
        }
        obcrash_async_macho_mapped_segment_t segment;
        if (obcrash_async_macho_map_segment(&image, "__DATA", &segment) == OBCRASH_OK)
            obcrash_async_macho_mapped_segment_free(&segment);
        size_t names = 0;
        for (uint64_t pc = 0; pc < 0x2000; pc += 0x1f3)
            obcrash_async_macho_find_symbol_by_pc(&image, image.header_addr + pc, found, &names);
        ob_vm_address_t address;
        obcrash_async_macho_find_symbol_by_name(&image, "_alpha", &address);
        obcrash_async_macho_string_t string;
        obcrash_async_macho_string_init(&string, &image, image.header_addr + (size > 64 ? 64 : 0));
        ob_vm_size_t string_length;
        obcrash_async_macho_string_get_length(&string, &string_length);
        obcrash_async_macho_string_free(&string);
        obcrash_nasync_macho_free(&image);
    }
    munmap(area, length + page);
    return 0;
}
