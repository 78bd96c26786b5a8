#pragma once
// The DWARF expression stack machine that some call-frame rules use: it computes a CFA, or where a
// register was saved, from the frame's registers and the task's memory. A fixed stack on the
// evaluator's own frame; every entry is a T and arithmetic wraps in its width. Async-signal-safe.
#include "crashreporter/OBCrashAsyncDwarfPrimitives.hpp"
#include "crashreporter/OBCrashAsyncThreadState.h"

namespace obcrash::OB::async {

template <typename T, size_t N>
class dwarf_stack {
public:
    bool push(T value) {
        if (count_ == N) return false;
        entries_[count_++] = value;
        return true;
    }
    bool pop(T* out) {
        if (count_ == 0) return false;
        *out = entries_[--count_];
        return true;
    }
    bool peek(T* out) const {
        if (count_ == 0) return false;
        *out = entries_[count_ - 1];
        return true;
    }
    /* A copy of the entry `index` places below the top (0 is the top) goes on top. */
    bool pick(size_t index) {
        if (index >= count_) return false;
        return push(entries_[count_ - 1 - index]);
    }
    bool dup() { return pick(0); }
    bool drop() {
        T ignored;
        return pop(&ignored);
    }
    bool swap() {
        if (count_ < 2) return false;
        const T top = entries_[count_ - 1];
        entries_[count_ - 1] = entries_[count_ - 2];
        entries_[count_ - 2] = top;
        return true;
    }
    /* A (top), B, C become B (top), C, A. */
    bool rotate() {
        if (count_ < 3) return false;
        const T a = entries_[count_ - 1], b = entries_[count_ - 2], c = entries_[count_ - 3];
        entries_[count_ - 1] = b;
        entries_[count_ - 2] = c;
        entries_[count_ - 3] = a;
        return true;
    }
    size_t count() const { return count_; }

private:
    T entries_[N];
    size_t count_ = 0;
};

/* The most operations one evaluation carries out. */
constexpr uint32_t kMaxExpressionOperations = 10000;

namespace detail {

/* The value of a DWARF register of the frame. */
inline obcrash_error_t dwarf_register_value(const obcrash_async_thread_state_t* thread_state, uint64_t dwarf_reg,
                                            uint64_t* value) {
    uint32_t regnum;
    if (!obcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarf_reg, &regnum)) return OBCRASH_NOT_SUPPORTED;
    if (!obcrash_async_thread_state_has_reg(thread_state, regnum)) return OBCRASH_NOT_FOUND;
    *value = obcrash_async_thread_state_get_reg(thread_state, regnum);
    return OBCRASH_OK;
}

template <typename T>
obcrash_error_t read_task_word(ob_task_t task, T address, uint8_t size, T* out) {
    uint8_t bytes[8] = {0};
    const obcrash_error_t err = obcrash_async_task_memcpy(task, address, 0, bytes, size);
    if (err != OBCRASH_OK) return err;
    uint64_t value = 0;
    for (uint8_t i = 0; i < size; ++i) value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    *out = static_cast<T>(value);
    return OBCRASH_OK;
}

}  // namespace detail

template <typename T>
obcrash_error_t obcrash_async_dwarf_expression_eval(const obcrash_async_mobject_t* mobj, ob_task_t task,
                                                    const obcrash_async_thread_state_t* thread_state,
                                                    const obcrash_async_byteorder_t* byteorder, ob_vm_address_t address,
                                                    ob_vm_off_t offset, ob_vm_off_t length, const T* initial_state,
                                                    size_t initial_count, T* result) {
    static_assert(std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t>);
    using S = std::make_signed_t<T>;
    constexpr unsigned width_bits = sizeof(T) * 8;

    dwarf_opstream stream;
    if (stream.init(mobj, byteorder, address, offset, length) != OBCRASH_OK) return OBCRASH_INVALID_ARGUMENT;

    dwarf_stack<T, 100> stack;
    for (size_t i = 0; i < initial_count; ++i) {
        if (!stack.push(initial_state[i])) return OBCRASH_INTERNAL;
    }

    // Reads a fixed-size operand of type U, refusing one cut short.
#define OB_DW_OPERAND(U, name) \
    U name;                    \
    if (!stream.read_intU<U>(&name)) return OBCRASH_INVALID_ARGUMENT
#define OB_DW_PUSH(value) \
    if (!stack.push(static_cast<T>(value))) return OBCRASH_INTERNAL

    // Jumps may go backwards, so a hostile expression could loop forever inside the crash handler;
    // no expression of a call-frame rule comes near this many operations.
    uint32_t budget = kMaxExpressionOperations;
    while (!stream.at_end()) {
        if (budget-- == 0) return OBCRASH_INVALID_ARGUMENT;
        uint8_t opcode;
        if (!stream.read_intU<uint8_t>(&opcode)) return OBCRASH_INVALID_ARGUMENT;

        if (opcode >= 0x30 && opcode <= 0x4F) {  // DW_OP_lit0..31
            OB_DW_PUSH(opcode - 0x30);
            continue;
        }
        if ((opcode >= 0x70 && opcode <= 0x8F) || opcode == 0x92) {  // DW_OP_breg0..31, DW_OP_bregx
            uint64_t dwarf_reg = opcode - 0x70u;
            if (opcode == 0x92 && !stream.read_uleb128(&dwarf_reg)) return OBCRASH_INVALID_ARGUMENT;
            uint64_t value;
            const obcrash_error_t err = detail::dwarf_register_value(thread_state, dwarf_reg, &value);
            if (err != OBCRASH_OK) return err;
            int64_t add;
            if (!stream.read_sleb128(&add)) return OBCRASH_INVALID_ARGUMENT;
            OB_DW_PUSH(static_cast<T>(value) + static_cast<T>(add));
            continue;
        }
        if (opcode >= 0x1A && opcode <= 0x2E && opcode != 0x1F && opcode != 0x20 && opcode != 0x23 &&
            opcode != 0x28) {  // the binary operations
            T b, a;
            if (!stack.pop(&b) || !stack.pop(&a)) return OBCRASH_INTERNAL;
            T r = 0;
            switch (opcode) {
            case 0x1A: r = a & b; break;
            case 0x1B:
                if (b == 0) return OBCRASH_INVALID_ARGUMENT;
                r = a / b;
                break;
            case 0x1C: r = a - b; break;
            case 0x1D:
                if (b == 0) return OBCRASH_INVALID_ARGUMENT;
                r = a % b;
                break;
            case 0x1E: r = a * b; break;
            case 0x21: r = a | b; break;
            case 0x22: r = a + b; break;
            case 0x24: r = static_cast<T>(a << (b % width_bits)); break;
            case 0x25: r = static_cast<T>(a >> (b % width_bits)); break;
            case 0x26: r = static_cast<T>(static_cast<S>(a) >> (b % width_bits)); break;
            case 0x27: r = a ^ b; break;
            case 0x29: r = a == b; break;
            case 0x2A: r = a >= b; break;
            case 0x2B: r = a > b; break;
            case 0x2C: r = a <= b; break;
            case 0x2D: r = a < b; break;
            case 0x2E: r = a != b; break;
            }
            OB_DW_PUSH(r);
            continue;
        }

        switch (opcode) {
        case 0x06: {  // DW_OP_deref
            T addr, value;
            if (!stack.pop(&addr)) return OBCRASH_INTERNAL;
            const obcrash_error_t err = detail::read_task_word<T>(task, addr, sizeof(T), &value);
            if (err != OBCRASH_OK) return err;
            OB_DW_PUSH(value);
            break;
        }
        case 0x08: {
            OB_DW_OPERAND(uint8_t, v);
            OB_DW_PUSH(v);
            break;
        }
        case 0x09: {
            OB_DW_OPERAND(int8_t, v);
            OB_DW_PUSH(static_cast<int64_t>(v));
            break;
        }
        case 0x0A: {
            OB_DW_OPERAND(uint16_t, v);
            OB_DW_PUSH(v);
            break;
        }
        case 0x0B: {
            OB_DW_OPERAND(int16_t, v);
            OB_DW_PUSH(static_cast<int64_t>(v));
            break;
        }
        case 0x0C: {
            OB_DW_OPERAND(uint32_t, v);
            OB_DW_PUSH(v);
            break;
        }
        case 0x0D: {
            OB_DW_OPERAND(int32_t, v);
            OB_DW_PUSH(static_cast<int64_t>(v));
            break;
        }
        case 0x0E: {
            OB_DW_OPERAND(uint64_t, v);
            OB_DW_PUSH(v);
            break;
        }
        case 0x0F: {
            OB_DW_OPERAND(int64_t, v);
            OB_DW_PUSH(v);
            break;
        }
        case 0x10: {
            uint64_t v;
            if (!stream.read_uleb128(&v)) return OBCRASH_INVALID_ARGUMENT;
            OB_DW_PUSH(v);
            break;
        }
        case 0x11: {
            int64_t v;
            if (!stream.read_sleb128(&v)) return OBCRASH_INVALID_ARGUMENT;
            OB_DW_PUSH(v);
            break;
        }
        case 0x12:  // DW_OP_dup
            if (!stack.dup()) return OBCRASH_INVALID_ARGUMENT;
            break;
        case 0x13:  // DW_OP_drop
            if (!stack.drop()) return OBCRASH_INVALID_ARGUMENT;
            break;
        case 0x14:  // DW_OP_over; on a full stack it fails as DW_OP_dup does
            if (stack.count() < 2 || !stack.pick(1)) return OBCRASH_INVALID_ARGUMENT;
            break;
        case 0x15: {  // DW_OP_pick
            OB_DW_OPERAND(uint8_t, index);
            if (!stack.pick(index)) return OBCRASH_INVALID_ARGUMENT;
            break;
        }
        case 0x16:
            if (!stack.swap()) return OBCRASH_INVALID_ARGUMENT;
            break;
        case 0x17:
            if (!stack.rotate()) return OBCRASH_INVALID_ARGUMENT;
            break;
        case 0x18:    // DW_OP_xderef: the address space is ignored
        case 0x94:    // DW_OP_deref_size
        case 0x95: {  // DW_OP_xderef_size
            uint8_t size = sizeof(T);
            if (opcode != 0x18) {
                if (!stream.read_intU<uint8_t>(&size)) return OBCRASH_INVALID_ARGUMENT;
            }
            T addr, value;
            if (opcode != 0x94) {
                if (stack.count() < 2) return OBCRASH_INVALID_ARGUMENT;
                T space;
                stack.pop(&addr);
                stack.pop(&space);
                stack.push(addr);
            }
            if (size > sizeof(T) || (size != 1 && size != 2 && size != 4 && size != 8)) return OBCRASH_INVALID_ARGUMENT;
            if (!stack.pop(&addr)) return OBCRASH_INTERNAL;
            const obcrash_error_t err = detail::read_task_word<T>(task, addr, size, &value);
            if (err != OBCRASH_OK) return err;
            OB_DW_PUSH(value);
            break;
        }
        case 0x19:    // DW_OP_abs
        case 0x1F:    // DW_OP_neg
        case 0x20: {  // DW_OP_not
            T v;
            if (!stack.pop(&v)) return OBCRASH_INTERNAL;
            if (opcode == 0x19) v = static_cast<S>(v) < 0 ? static_cast<T>(0 - v) : v;
            if (opcode == 0x1F) v = static_cast<T>(0 - v);
            if (opcode == 0x20) v = static_cast<T>(~v);
            stack.push(v);
            break;
        }
        case 0x23: {  // DW_OP_plus_uconst
            uint64_t add;
            if (!stream.read_uleb128(&add)) return OBCRASH_INVALID_ARGUMENT;
            T v;
            if (!stack.pop(&v)) return OBCRASH_INTERNAL;
            stack.push(static_cast<T>(v + static_cast<T>(add)));
            break;
        }
        case 0x28:    // DW_OP_bra
        case 0x2F: {  // DW_OP_skip
            OB_DW_OPERAND(int16_t, jump);
            bool taken = true;
            if (opcode == 0x28) {
                T condition;
                if (!stack.pop(&condition)) return OBCRASH_INTERNAL;
                taken = condition != 0;
            }
            if (taken && !stream.skip(jump)) return OBCRASH_INVALID_ARGUMENT;
            break;
        }
        case 0x96: break;  // DW_OP_nop
        default: return OBCRASH_NOT_SUPPORTED;
        }
    }
#undef OB_DW_OPERAND
#undef OB_DW_PUSH

    if (!stack.peek(result)) return OBCRASH_INVALID_ARGUMENT;
    return OBCRASH_OK;
}

}  // namespace obcrash::OB::async
