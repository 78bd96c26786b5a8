/* libFuzzer target for symbol look-up over Mach-O images (symbol table and Objective-C metadata);
 * not part of the build. Run from the top folder:
 *   clang -g -O1 -fsanitize=fuzzer,address,undefined -Isrc tests/crashreporter/fuzz/SymbolsFuzz.c \
 *     src/crashreporter/OBCrashAsync*.c -o /tmp/symbols_fuzz
 *   /tmp/symbols_fuzz -max_total_time=300 <corpus folder seeded with the Mach-O fixtures>
 * The input is placed at its link address when that is free (metadata pointers then lead back into
 * it), else anywhere, and is followed by an unreadable page. Inputs with segments beyond 16 MiB are
 * skipped: the memory layer copies whole sections, and sizes no input can back would only measure
 * that copying of the fuzzer's own memory. */
#define _GNU_SOURCE
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "crashreporter/OBCrashAsyncSymbols.h"

static void found(ob_vm_address_t address, const char* name, void* context) {
    (void)address;
    *(size_t*)context += strlen(name);
}

/* The vmaddr of the first __TEXT segment command, 0 without one, UINT64_MAX for an input to skip. */
static uint64_t text_vmaddr(const uint8_t* data, size_t size) {
    if (size < 32) return 0;
    uint32_t ncmds;
    memcpy(&ncmds, data + 16, 4);
    size_t at = 32;
    uint64_t text = 0;
    for (uint32_t i = 0; i < ncmds && at + 72 <= size; ++i) {
        uint32_t cmd, cmdsize;
        memcpy(&cmd, data + at, 4);
        memcpy(&cmdsize, data + at + 4, 4);
        if (cmd == OBCRASH_LC_SEGMENT_64) {
            uint64_t vmaddr, vmsize;
            memcpy(&vmaddr, data + at + 24, 8);
            memcpy(&vmsize, data + at + 32, 8);
            if (vmsize > (16u << 20)) return UINT64_MAX;
            if (text == 0 && memcmp(data + at + 8, "__TEXT", 7) == 0) text = vmaddr;
        }
        if (cmdsize < 8) return 0;
        at += cmdsize;
    }
    return text;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t page = (size_t)getpagesize();
    const size_t length = (size + page - 1) / page * page;
    if (length == 0) return 0;
    const uint64_t wanted = text_vmaddr(data, size);
    if (wanted == UINT64_MAX) return 0;
    uint8_t* area = MAP_FAILED;
    /* Only the fixtures' high link address: low ones would land on the fuzzer's own memory. */
    if (wanted >= 0x200000000000ull && wanted < 0x300000000000ull && wanted % page == 0)
        area = mmap((void*)(uintptr_t)wanted, length + page, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (area == MAP_FAILED)
        area = mmap(NULL, length + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return 0;
    memcpy(area, data, size);
    mprotect(area + length, page, PROT_NONE);

    obcrash_async_image_t image;
    memset(&image, 0, sizeof(image));
    image.kind = OBCRASH_IMAGE_MACHO;
    if (obcrash_nasync_macho_init(&image.macho, ob_mach_task_self(), "fuzz", (uintptr_t)area) == OBCRASH_OK) {
        obcrash_async_symbol_cache_t cache;
        obcrash_async_symbol_cache_init(&cache);
        size_t names = 0;
        for (uint64_t pc = 0; pc < 0x1000; pc += 0x1f3)
            obcrash_async_find_symbol(&image, OBCRASH_ASYNC_SYMBOL_STRATEGY_ALL, &cache, (uintptr_t)area + pc, found,
                                      &names);
        obcrash_async_symbol_cache_free(&cache);
        obcrash_nasync_macho_free(&image.macho);
    }
    munmap(area, length + page);
    return 0;
}
