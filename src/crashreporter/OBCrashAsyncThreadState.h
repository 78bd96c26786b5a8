#pragma once
// The register set of one thread as the crash-time code sees it, with a bit per register that
// tells whether its value is known. Three sets: x86-64 (the machine this program runs on),
// 64-bit ARM and 32-bit ARM. Numbers 0, 1 and 2 are the instruction, frame and stack pointers on
// every set; the frame walker relies on that. Everything here is async-signal-safe.
#include <stdbool.h>
#include <stdint.h>
#include <ucontext.h>

#include "OBCrashAsync.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef CPU_TYPE_X86
#define CPU_TYPE_X86 7
#endif
#ifndef CPU_TYPE_X86_64
#define CPU_TYPE_X86_64 0x01000007
#endif
#ifndef CPU_TYPE_ARM
#define CPU_TYPE_ARM 12
#endif
#ifndef CPU_TYPE_ARM64
#define CPU_TYPE_ARM64 0x0100000C
#endif

#define OBCRASH_ARM_THREAD_STATE64 6
#define OBCRASH_ARM_THREAD_STATE32 9
#define OBCRASH_ARM_THREAD_STATE64_COUNT 68
#define OBCRASH_ARM_THREAD_STATE32_COUNT 17
#define OBCRASH_X86_THREAD_STATE64 4
#define OBCRASH_X86_THREAD_STATE64_COUNT 42

/* Stacks grow toward lower addresses. */
#define OBCRASH_ASYNC_STACK_DIRECTION_DOWN 2

typedef struct {
    uint32_t flavor;
    /* In 32-bit words. */
    uint32_t count;
} obcrash_arm_state_hdr_t;

typedef struct {
    uint64_t x[29];
    uint64_t fp;
    uint64_t lr;
    uint64_t sp;
    uint64_t pc;
    uint32_t cpsr;
    uint32_t pad;
} obcrash_arm_thread_state64_t;

typedef struct {
    uint32_t r[13];
    uint32_t sp;
    uint32_t lr;
    uint32_t pc;
    uint32_t cpsr;
} obcrash_arm_thread_state32_t;

typedef struct {
    obcrash_arm_state_hdr_t ash;
    union {
        obcrash_arm_thread_state64_t ts_64;
        obcrash_arm_thread_state32_t ts_32;
    } uts;
} obcrash_arm_unified_thread_state_t;

/* A 64-bit ARM machine context as a signal delivers it: exception state, thread state, then the
 * floating-point state. */
typedef struct {
    uint64_t far;
    uint32_t esr;
    uint32_t exception;
} obcrash_arm_exception_state64_t;

typedef struct {
    obcrash_arm_exception_state64_t es;
    obcrash_arm_thread_state64_t ss;
    uint8_t ns[528];
} obcrash_arm_mcontext64_t;

/* Indexed by register number. */
enum {
    OBCRASH_X86_64_RIP = 0,
    OBCRASH_X86_64_RBP = 1,
    OBCRASH_X86_64_RSP = 2,
    OBCRASH_X86_64_RAX = 3,
    OBCRASH_X86_64_RBX = 4,
    OBCRASH_X86_64_RCX = 5,
    OBCRASH_X86_64_RDX = 6,
    OBCRASH_X86_64_RDI = 7,
    OBCRASH_X86_64_RSI = 8,
    OBCRASH_X86_64_R8 = 9,
    OBCRASH_X86_64_R12 = 13,
    OBCRASH_X86_64_R15 = 16,
    OBCRASH_X86_64_RFLAGS = 17,
    OBCRASH_X86_64_CS = 18,
    OBCRASH_X86_64_FS = 19,
    OBCRASH_X86_64_GS = 20,
    OBCRASH_X86_64_REG_COUNT = 21,
};

typedef struct {
    obcrash_arm_state_hdr_t hdr;
    uint64_t regs[OBCRASH_X86_64_REG_COUNT];
} obcrash_x86_thread_state64_t;

typedef struct obcrash_async_thread_state {
    uint32_t stack_direction;
    uint64_t greg_size;
    uint64_t valid_regs;
    /* Which set the state holds: CPU_TYPE_X86_64, or an ARM type whose set `arm_state`'s flavor
     * decides. */
    uint32_t cpu_type;
    /* The pc is the instruction the thread stopped at rather than a return address: true of a
     * frame a signal interrupted, whose caller is then looked up at the pc itself. */
    bool pc_exact;
    obcrash_arm_unified_thread_state_t arm_state;
    obcrash_x86_thread_state64_t x86_state;
} obcrash_async_thread_state_t;

typedef obcrash_error_t (*obcrash_async_thread_state_current_callback)(obcrash_async_thread_state_t* state,
                                                                       void* context);

obcrash_error_t obcrash_async_thread_state_init(obcrash_async_thread_state_t* state, uint32_t cpu_type);
/* From the machine context of a signal delivered on this machine. */
void obcrash_async_thread_state_mcontext_init(obcrash_async_thread_state_t* state, const ucontext_t* context);
/* From a stored 64-bit ARM machine context. */
void obcrash_async_thread_state_arm64_mcontext_init(obcrash_async_thread_state_t* state,
                                                    const obcrash_arm_mcontext64_t* mcontext);
/* The state of a thread stopped with obcrash_async_thread_suspend; OBCRASH_INTERNAL when the
 * thread is not parked. */
obcrash_error_t obcrash_async_thread_state_mach_thread_init(obcrash_async_thread_state_t* state, ob_thread_t thread);
/* The calling thread, stopped at its call of this function; returns the callback's result. */
obcrash_error_t obcrash_async_thread_state_current(obcrash_async_thread_state_current_callback callback, void* context);
/* The second half of obcrash_async_thread_state_current, called by its machine-code half with the
 * registers it saved, by register number. */
obcrash_error_t obcrash_async_thread_state_current_stub(obcrash_async_thread_state_current_callback callback,
                                                        void* context, const uint64_t* regs);

void obcrash_async_thread_state_copy(obcrash_async_thread_state_t* dest, const obcrash_async_thread_state_t* source);

uint64_t obcrash_async_thread_state_get_reg(const obcrash_async_thread_state_t* state, uint32_t regnum);
void obcrash_async_thread_state_set_reg(obcrash_async_thread_state_t* state, uint32_t regnum, uint64_t value);
bool obcrash_async_thread_state_has_reg(const obcrash_async_thread_state_t* state, uint32_t regnum);
void obcrash_async_thread_state_clear_reg(obcrash_async_thread_state_t* state, uint32_t regnum);
void obcrash_async_thread_state_clear_all_regs(obcrash_async_thread_state_t* state);
void obcrash_async_thread_state_clear_volatile_regs(obcrash_async_thread_state_t* state);

size_t obcrash_async_thread_state_get_reg_count(const obcrash_async_thread_state_t* state);
const char* obcrash_async_thread_state_get_reg_name(const obcrash_async_thread_state_t* state, uint32_t regnum);
uint32_t obcrash_async_thread_state_get_stack_direction(const obcrash_async_thread_state_t* state);
uint64_t obcrash_async_thread_state_get_greg_size(const obcrash_async_thread_state_t* state);

bool obcrash_async_thread_state_map_reg_to_dwarf(const obcrash_async_thread_state_t* state, uint32_t regnum,
                                                 uint64_t* dwarf_reg);
bool obcrash_async_thread_state_map_dwarf_to_reg(const obcrash_async_thread_state_t* state, uint64_t dwarf_reg,
                                                 uint32_t* regnum);

#ifdef __cplusplus
}
#endif
