#pragma once
// A loaded ELF object of this process as the crash-time code sees it: where it lies, its name,
// CPU type and build id, and where its call-frame information is. Filled on an ordinary thread
// from what the dynamic loader reports; every query afterwards is async-signal-safe.
#include <link.h>
#include <stdbool.h>
#include <stdint.h>

#include "OBCrashAsync.h"
#include "OBCrashAsyncMObject.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OBCRASH_ELF_MAX_SEGMENTS 16

typedef struct {
    ob_vm_address_t address;
    ob_vm_size_t size;
} obcrash_async_elf_range_t;

typedef struct obcrash_async_elf {
    ob_task_t task;
    /* The lowest PT_LOAD segment, where the ELF header lies. */
    ob_vm_address_t header_addr;
    /* The loader's bias: file virtual addresses plus this are addresses in memory. */
    ob_vm_address_t load_bias;
    char* name;
    /* From the lowest PT_LOAD to the end of the highest. */
    ob_vm_size_t text_size;
    uint32_t cpu_type;
    bool has_uuid;
    uint8_t uuid[16];
    /* The .eh_frame that PT_GNU_EH_FRAME leads to; size 0 without one. */
    obcrash_async_elf_range_t eh_frame;
    /* The dynamic section (PT_DYNAMIC); size 0 without one. */
    obcrash_async_elf_range_t dynamic;
    /* Readable PT_LOAD segments, for reads in place. */
    uint32_t readable_count;
    obcrash_async_elf_range_t readable[OBCRASH_ELF_MAX_SEGMENTS];
} obcrash_async_elf_t;

/* From one object of dl_iterate_phdr. `name` overrides the loader's name (the main program's
 * loader name is empty). OBCRASH_INVALID_DATA when the object has no PT_LOAD segment. */
obcrash_error_t obcrash_nasync_elf_init(obcrash_async_elf_t* image, ob_task_t task, const struct dl_phdr_info* info,
                                        const char* name);
void obcrash_nasync_elf_free(obcrash_async_elf_t* image);

bool obcrash_async_elf_contains_address(const obcrash_async_elf_t* image, ob_vm_address_t address);
/* Whether [address, address + length) lies inside one readable segment. */
bool obcrash_async_elf_readable_contains(const obcrash_async_elf_t* image, ob_vm_address_t address,
                                         ob_vm_size_t length);
/* Answers the section queries of the crash-time code: "__TEXT","__eh_frame" is the .eh_frame;
 * every other section is OBCRASH_NOT_FOUND. */
obcrash_error_t obcrash_async_elf_map_section(const obcrash_async_elf_t* image, const char* segname,
                                              const char* sectname, obcrash_async_mobject_t* mobj);

typedef void (*obcrash_async_elf_found_symbol_cb)(ob_vm_address_t address, const char* name, void* context);

/* The dynamic symbol (what the loader can see) with the greatest address at or below pc whose size
 * covers pc; a symbol without a size counts only when it is a function. Read through task memory:
 * a damaged table gives an error, never a fault. OBCRASH_NOT_FOUND without a dynamic symbol table
 * or a matching symbol. */
obcrash_error_t obcrash_async_elf_find_symbol_by_pc(const obcrash_async_elf_t* image, ob_vm_address_t pc,
                                                    obcrash_async_elf_found_symbol_cb callback, void* context);

#ifdef __cplusplus
}
#endif
