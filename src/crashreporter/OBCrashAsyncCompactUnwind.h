#pragma once
// Compact unwind information (an image's __TEXT,__unwind_info, version 1): finds the 32-bit
// encoding of the function that holds a pc, decodes it for arm64, x86-64 or x86, and applies it
// to a thread state to give the caller's registers. Reads go through the section's memory object;
// nothing is allocated. Everything here is async-signal-safe.
#include <stdint.h>

#include "OBCrashAsync.h"
#include "OBCrashAsyncMObject.h"
#include "OBCrashAsyncThreadState.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A register slot, or return address register, that holds nothing. */
#define OBCRASH_ASYNC_CFE_NO_REGISTER 0x7FFFFFFF
#define OBCRASH_ASYNC_CFE_MAX_REGISTERS 10

/* Register numbers of the 32-bit x86 layout the x86 decoder maps into; no thread state of that
 * layout runs here. */
enum {
    OBCRASH_X86_EIP = 0,
    OBCRASH_X86_EBP = 1,
    OBCRASH_X86_ESP = 2,
    OBCRASH_X86_EAX = 3,
    OBCRASH_X86_EDX = 4,
    OBCRASH_X86_ECX = 5,
    OBCRASH_X86_EBX = 6,
    OBCRASH_X86_ESI = 7,
    OBCRASH_X86_EDI = 8,
};

typedef enum {
    OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR = 1,
    OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD = 2,
    OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT = 3,
    OBCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF = 4,
    OBCRASH_ASYNC_CFE_ENTRY_TYPE_NONE = 5,
} obcrash_async_cfe_entry_type_t;

typedef struct {
    uint32_t version;
    uint32_t common_encodings_offset;
    uint32_t common_encodings_count;
    uint32_t personality_offset;
    uint32_t personality_count;
    uint32_t index_offset;
    uint32_t index_count;
} obcrash_async_cfe_header_t;

typedef struct obcrash_async_cfe_reader {
    obcrash_async_mobject_t* mobj;
    uint32_t cpu_type;
    obcrash_async_cfe_header_t header;
    const obcrash_async_byteorder_t* byteorder;
} obcrash_async_cfe_reader_t;

typedef struct obcrash_async_cfe_entry {
    uint32_t type;
    uint32_t cpu_type;
    int64_t stack_offset;
    uint32_t stack_adjust;
    uint32_t return_address_register;
    uint32_t register_count;
    uint32_t register_list[OBCRASH_ASYNC_CFE_MAX_REGISTERS];
} obcrash_async_cfe_entry_t;

obcrash_error_t obcrash_async_cfe_reader_init(obcrash_async_cfe_reader_t* reader, obcrash_async_mobject_t* mobj,
                                              uint32_t cpu_type);
/* pc is relative to the image header; function_offset receives the start of the function found. */
obcrash_error_t obcrash_async_cfe_reader_find_pc(obcrash_async_cfe_reader_t* reader, uint32_t pc,
                                                 uint32_t* function_offset, uint32_t* encoding);
void obcrash_async_cfe_reader_free(obcrash_async_cfe_reader_t* reader);

obcrash_error_t obcrash_async_cfe_entry_init(obcrash_async_cfe_entry_t* entry, uint32_t cpu_type, uint32_t encoding);
void obcrash_async_cfe_entry_free(obcrash_async_cfe_entry_t* entry);

obcrash_async_cfe_entry_type_t obcrash_async_cfe_entry_type(const obcrash_async_cfe_entry_t* entry);
int64_t obcrash_async_cfe_entry_stack_offset(const obcrash_async_cfe_entry_t* entry);
uint32_t obcrash_async_cfe_entry_stack_adjustment(const obcrash_async_cfe_entry_t* entry);
uint32_t obcrash_async_cfe_entry_return_address_register(const obcrash_async_cfe_entry_t* entry);
uint32_t obcrash_async_cfe_entry_register_count(const obcrash_async_cfe_entry_t* entry);
void obcrash_async_cfe_entry_register_list(const obcrash_async_cfe_entry_t* entry, uint32_t* register_list);

/* function_address is the task address of the function the entry describes. */
obcrash_error_t obcrash_async_cfe_entry_apply(ob_task_t task, ob_vm_address_t function_address,
                                              const obcrash_async_thread_state_t* thread_state,
                                              const obcrash_async_cfe_entry_t* entry,
                                              obcrash_async_thread_state_t* new_thread_state);

/* The permutation number of the saved registers of a frameless x86 function (registers 1-6). */
uint32_t obcrash_async_cfe_register_encode(const uint32_t registers[], uint32_t count);
obcrash_error_t obcrash_async_cfe_register_decode(uint32_t permutation, uint32_t count, uint32_t registers[]);

#ifdef __cplusplus
}
#endif
