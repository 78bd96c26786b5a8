#define _GNU_SOURCE
#include "OBCrashAsyncThreadState.h"

#include <signal.h>

#define NO_DWARF UINT64_MAX

typedef struct {
    const char* name;
    uint64_t dwarf;
} register_entry_t;

static const register_entry_t arm64_registers[] = {
    {"pc", NO_DWARF}, {"fp", 29},  {"sp", 31},  {"x0", 0},   {"x1", 1},   {"x2", 2},          {"x3", 3},
    {"x4", 4},        {"x5", 5},   {"x6", 6},   {"x7", 7},   {"x8", 8},   {"x9", 9},          {"x10", 10},
    {"x11", 11},      {"x12", 12}, {"x13", 13}, {"x14", 14}, {"x15", 15}, {"x16", 16},        {"x17", 17},
    {"x18", 18},      {"x19", 19}, {"x20", 20}, {"x21", 21}, {"x22", 22}, {"x23", 23},        {"x24", 24},
    {"x25", 25},      {"x26", 26}, {"x27", 27}, {"x28", 28}, {"lr", 30},  {"cpsr", NO_DWARF},
};

static const register_entry_t arm32_registers[] = {
    {"pc", 15}, {"r7", 7}, {"sp", 13}, {"r0", 0},   {"r1", 1},   {"r2", 2},   {"r3", 3},  {"r4", 4},          {"r5", 5},
    {"r6", 6},  {"r8", 8}, {"r9", 9},  {"r10", 10}, {"r11", 11}, {"r12", 12}, {"lr", 14}, {"cpsr", NO_DWARF},
};

static const register_entry_t x86_64_registers[] = {
    {"rip", NO_DWARF}, {"rbp", 6},       {"rsp", 7},       {"rax", 0},  {"rbx", 3},  {"rcx", 2},
    {"rdx", 1},        {"rdi", 5},       {"rsi", 4},       {"r8", 8},   {"r9", 9},   {"r10", 10},
    {"r11", 11},       {"r12", 12},      {"r13", 13},      {"r14", 14}, {"r15", 15}, {"rflags", NO_DWARF},
    {"cs", NO_DWARF},  {"fs", NO_DWARF}, {"gs", NO_DWARF},
};

#define COUNT_OF(array) (sizeof(array) / sizeof((array)[0]))

/* Registers a callee preserves, by register number. */
static const uint64_t arm64_callee_saved = (1ull << 1) | (0x3FFull << 22); /* fp, x19-x28 */
static const uint64_t arm32_callee_saved =
    (1ull << 1) | (7ull << 7) | (1ull << 10) | (3ull << 12);                            /* r4-r8, r10, r11 */
static const uint64_t x86_64_callee_saved = (1ull << 1) | (1ull << 4) | (0xFull << 13); /* rbp, rbx, r12-r15 */

/* Pointer-authentication bits sit above the 36 address bits that ARM64 user space uses. */
#define ARM64_PTR_MASK 0xFFFFFFFFFull

typedef enum { SET_X86_64, SET_ARM64, SET_ARM32 } register_set_t;

static register_set_t register_set(const obcrash_async_thread_state_t* state) {
    if (state->cpu_type == CPU_TYPE_X86_64) return SET_X86_64;
    return state->arm_state.ash.flavor == OBCRASH_ARM_THREAD_STATE32 ? SET_ARM32 : SET_ARM64;
}

static const register_entry_t* register_table(const obcrash_async_thread_state_t* state, size_t* count) {
    switch (register_set(state)) {
    case SET_X86_64: *count = COUNT_OF(x86_64_registers); return x86_64_registers;
    case SET_ARM32: *count = COUNT_OF(arm32_registers); return arm32_registers;
    case SET_ARM64: break;
    }
    *count = COUNT_OF(arm64_registers);
    return arm64_registers;
}

/* Register numbers can come from image data (unwind entries), and these accessors run inside the
 * crash handler, where a trap would lose the report: a number outside the set reads as 0 and is
 * never written. The readers check the numbers themselves and give an error code. */
static bool valid_regnum(const obcrash_async_thread_state_t* state, uint32_t regnum) {
    return regnum < obcrash_async_thread_state_get_reg_count(state);
}

obcrash_error_t obcrash_async_thread_state_init(obcrash_async_thread_state_t* state, uint32_t cpu_type) {
    obcrash_async_memset(state, 0, sizeof(*state));
    state->stack_direction = OBCRASH_ASYNC_STACK_DIRECTION_DOWN;
    state->cpu_type = cpu_type;
    switch (cpu_type) {
    case CPU_TYPE_ARM64:
        state->arm_state.ash.flavor = OBCRASH_ARM_THREAD_STATE64;
        state->arm_state.ash.count = OBCRASH_ARM_THREAD_STATE64_COUNT;
        state->greg_size = 8;
        return OBCRASH_OK;
    case CPU_TYPE_ARM:
        state->arm_state.ash.flavor = OBCRASH_ARM_THREAD_STATE32;
        state->arm_state.ash.count = OBCRASH_ARM_THREAD_STATE32_COUNT;
        state->greg_size = 4;
        return OBCRASH_OK;
    case CPU_TYPE_X86_64:
        state->x86_state.hdr.flavor = OBCRASH_X86_THREAD_STATE64;
        state->x86_state.hdr.count = OBCRASH_X86_THREAD_STATE64_COUNT;
        state->greg_size = 8;
        return OBCRASH_OK;
    default: return OBCRASH_NOT_SUPPORTED;
    }
}

static void mark_all_valid(obcrash_async_thread_state_t* state) {
    const size_t count = obcrash_async_thread_state_get_reg_count(state);
    state->valid_regs = count >= 64 ? UINT64_MAX : (1ull << count) - 1;
}

void obcrash_async_thread_state_mcontext_init(obcrash_async_thread_state_t* state, const ucontext_t* context) {
#if defined(__x86_64__)
    obcrash_async_thread_state_init(state, CPU_TYPE_X86_64);
    const greg_t* g = context->uc_mcontext.gregs;
    uint64_t* r = state->x86_state.regs;
    r[OBCRASH_X86_64_RIP] = (uint64_t)g[REG_RIP];
    r[OBCRASH_X86_64_RBP] = (uint64_t)g[REG_RBP];
    r[OBCRASH_X86_64_RSP] = (uint64_t)g[REG_RSP];
    r[OBCRASH_X86_64_RAX] = (uint64_t)g[REG_RAX];
    r[OBCRASH_X86_64_RBX] = (uint64_t)g[REG_RBX];
    r[OBCRASH_X86_64_RCX] = (uint64_t)g[REG_RCX];
    r[OBCRASH_X86_64_RDX] = (uint64_t)g[REG_RDX];
    r[OBCRASH_X86_64_RDI] = (uint64_t)g[REG_RDI];
    r[OBCRASH_X86_64_RSI] = (uint64_t)g[REG_RSI];
    for (int i = 0; i < 8; ++i) r[OBCRASH_X86_64_R8 + i] = (uint64_t)g[REG_R8 + i];
    r[OBCRASH_X86_64_RFLAGS] = (uint64_t)g[REG_EFL];
    /* The kernel packs cs, gs and fs into one word, 16 bits each, in that order. */
    const uint64_t segments = (uint64_t)g[REG_CSGSFS];
    r[OBCRASH_X86_64_CS] = segments & 0xFFFF;
    r[OBCRASH_X86_64_GS] = (segments >> 16) & 0xFFFF;
    r[OBCRASH_X86_64_FS] = (segments >> 32) & 0xFFFF;
    mark_all_valid(state);
#else
    (void)context;
    obcrash_async_thread_state_init(state, 0);
#endif
}

void obcrash_async_thread_state_arm64_mcontext_init(obcrash_async_thread_state_t* state,
                                                    const obcrash_arm_mcontext64_t* mcontext) {
    obcrash_async_thread_state_init(state, CPU_TYPE_ARM64);
    obcrash_async_memcpy(&state->arm_state.uts.ts_64, &mcontext->ss, sizeof(mcontext->ss));
    state->valid_regs = UINT64_MAX;
}

obcrash_error_t obcrash_async_thread_state_current_stub(obcrash_async_thread_state_current_callback callback,
                                                        void* context, const uint64_t* regs) {
    obcrash_async_thread_state_t state;
    obcrash_async_thread_state_init(&state, CPU_TYPE_X86_64);
    for (uint32_t i = 0; i < OBCRASH_X86_64_REG_COUNT; ++i) state.x86_state.regs[i] = regs[i];
    mark_all_valid(&state);
    return callback(&state, context);
}

#if defined(__x86_64__)
/* Saves every register as it was on entry, then describes the caller stopped at its call: the
 * return address as rip, the caller's rbp, and the caller's rsp before the call pushed the return
 * address. The save area is laid out by register number. */
__asm__(
    ".pushsection .text\n"
    ".globl obcrash_async_thread_state_current\n"
    ".type obcrash_async_thread_state_current,@function\n"
    ".p2align 4\n"
    "obcrash_async_thread_state_current:\n"
    ".cfi_startproc\n"
    "    pushq %rbp\n"
    ".cfi_def_cfa_offset 16\n"
    ".cfi_offset %rbp, -16\n"
    "    movq %rsp, %rbp\n"
    ".cfi_def_cfa_register %rbp\n"
    "    subq $176, %rsp\n"
    "    movq %rax, 24(%rsp)\n"
    "    movq %rbx, 32(%rsp)\n"
    "    movq %rcx, 40(%rsp)\n"
    "    movq %rdx, 48(%rsp)\n"
    "    movq %rdi, 56(%rsp)\n"
    "    movq %rsi, 64(%rsp)\n"
    "    movq %r8, 72(%rsp)\n"
    "    movq %r9, 80(%rsp)\n"
    "    movq %r10, 88(%rsp)\n"
    "    movq %r11, 96(%rsp)\n"
    "    movq %r12, 104(%rsp)\n"
    "    movq %r13, 112(%rsp)\n"
    "    movq %r14, 120(%rsp)\n"
    "    movq %r15, 128(%rsp)\n"
    "    movq 8(%rbp), %rax\n"
    "    movq %rax, 0(%rsp)\n"
    "    movq 0(%rbp), %rax\n"
    "    movq %rax, 8(%rsp)\n"
    "    leaq 16(%rbp), %rax\n"
    "    movq %rax, 16(%rsp)\n"
    "    pushfq\n"
    "    popq %rax\n"
    "    movq %rax, 136(%rsp)\n"
    "    xorl %eax, %eax\n"
    "    movw %cs, %ax\n"
    "    movq %rax, 144(%rsp)\n"
    "    movw %fs, %ax\n"
    "    movq %rax, 152(%rsp)\n"
    "    movw %gs, %ax\n"
    "    movq %rax, 160(%rsp)\n"
    "    movq %rsp, %rdx\n"
    "    call obcrash_async_thread_state_current_stub@PLT\n"
    "    leave\n"
    ".cfi_def_cfa %rsp, 8\n"
    "    ret\n"
    ".cfi_endproc\n"
    ".size obcrash_async_thread_state_current, .-obcrash_async_thread_state_current\n"
    ".popsection\n");
#endif

void obcrash_async_thread_state_copy(obcrash_async_thread_state_t* dest, const obcrash_async_thread_state_t* source) {
    obcrash_async_memcpy(dest, source, sizeof(*dest));
}

static uint64_t* arm64_slot(obcrash_async_thread_state_t* state, uint32_t regnum) {
    obcrash_arm_thread_state64_t* ts = &state->arm_state.uts.ts_64;
    switch (regnum) {
    case 0: return &ts->pc;
    case 1: return &ts->fp;
    case 2: return &ts->sp;
    case 32: return &ts->lr;
    default: return &ts->x[regnum - 3];
    }
}

static uint32_t* arm32_slot(obcrash_async_thread_state_t* state, uint32_t regnum) {
    obcrash_arm_thread_state32_t* ts = &state->arm_state.uts.ts_32;
    switch (regnum) {
    case 0: return &ts->pc;
    case 1: return &ts->r[7];
    case 2: return &ts->sp;
    case 15: return &ts->lr;
    case 16: return &ts->cpsr;
    default: return regnum <= 9 ? &ts->r[regnum - 3] : &ts->r[regnum - 2];
    }
}

uint64_t obcrash_async_thread_state_get_reg(const obcrash_async_thread_state_t* state, uint32_t regnum) {
    if (!valid_regnum(state, regnum)) return 0;
    obcrash_async_thread_state_t* mutable_state = (obcrash_async_thread_state_t*)state;
    switch (register_set(state)) {
    case SET_X86_64: return state->x86_state.regs[regnum];
    case SET_ARM32: return *arm32_slot(mutable_state, regnum);
    case SET_ARM64: break;
    }
    if (regnum == 33) return state->arm_state.uts.ts_64.cpsr;
    const uint64_t value = *arm64_slot(mutable_state, regnum);
    return (regnum <= 2 || regnum == 32) ? value & ARM64_PTR_MASK : value;
}

void obcrash_async_thread_state_set_reg(obcrash_async_thread_state_t* state, uint32_t regnum, uint64_t value) {
    if (!valid_regnum(state, regnum)) return;
    switch (register_set(state)) {
    case SET_X86_64: state->x86_state.regs[regnum] = value; break;
    case SET_ARM32: *arm32_slot(state, regnum) = (uint32_t)value; break;
    case SET_ARM64:
        if (regnum == 33) {
            state->arm_state.uts.ts_64.cpsr = (uint32_t)value;
        } else {
            *arm64_slot(state, regnum) = value;
        }
        break;
    }
    state->valid_regs |= 1ull << regnum;
}

bool obcrash_async_thread_state_has_reg(const obcrash_async_thread_state_t* state, uint32_t regnum) {
    if (regnum >= 64) return false;
    return (state->valid_regs & (1ull << regnum)) != 0;
}

void obcrash_async_thread_state_clear_reg(obcrash_async_thread_state_t* state, uint32_t regnum) {
    if (regnum < 64) state->valid_regs &= ~(1ull << regnum);
}

void obcrash_async_thread_state_clear_all_regs(obcrash_async_thread_state_t* state) { state->valid_regs = 0; }

void obcrash_async_thread_state_clear_volatile_regs(obcrash_async_thread_state_t* state) {
    switch (register_set(state)) {
    case SET_X86_64: state->valid_regs &= x86_64_callee_saved; break;
    case SET_ARM32: state->valid_regs &= arm32_callee_saved; break;
    case SET_ARM64: state->valid_regs &= arm64_callee_saved; break;
    }
}

size_t obcrash_async_thread_state_get_reg_count(const obcrash_async_thread_state_t* state) {
    size_t count;
    register_table(state, &count);
    return count;
}

const char* obcrash_async_thread_state_get_reg_name(const obcrash_async_thread_state_t* state, uint32_t regnum) {
    if (!valid_regnum(state, regnum)) return "";
    size_t count;
    return register_table(state, &count)[regnum].name;
}

uint32_t obcrash_async_thread_state_get_stack_direction(const obcrash_async_thread_state_t* state) {
    return state->stack_direction;
}

uint64_t obcrash_async_thread_state_get_greg_size(const obcrash_async_thread_state_t* state) {
    return state->greg_size;
}

bool obcrash_async_thread_state_map_reg_to_dwarf(const obcrash_async_thread_state_t* state, uint32_t regnum,
                                                 uint64_t* dwarf_reg) {
    size_t count;
    const register_entry_t* table = register_table(state, &count);
    if (regnum >= count || table[regnum].dwarf == NO_DWARF) return false;
    *dwarf_reg = table[regnum].dwarf;
    return true;
}

bool obcrash_async_thread_state_map_dwarf_to_reg(const obcrash_async_thread_state_t* state, uint64_t dwarf_reg,
                                                 uint32_t* regnum) {
    size_t count;
    const register_entry_t* table = register_table(state, &count);
    for (size_t i = 0; i < count; ++i) {
        if (table[i].dwarf == dwarf_reg && dwarf_reg != NO_DWARF) {
            *regnum = (uint32_t)i;
            return true;
        }
    }
    return false;
}
