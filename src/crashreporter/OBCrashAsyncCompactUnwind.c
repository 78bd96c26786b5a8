#include "OBCrashAsyncCompactUnwind.h"

#include "OBCrashAsyncByteOrder.h"

#define PAGE_KIND_REGULAR 2
#define PAGE_KIND_COMPRESSED 3

obcrash_error_t obcrash_async_cfe_reader_init(obcrash_async_cfe_reader_t* reader, obcrash_async_mobject_t* mobj,
                                              uint32_t cpu_type) {
    if (cpu_type != CPU_TYPE_X86 && cpu_type != CPU_TYPE_X86_64 && cpu_type != CPU_TYPE_ARM64)
        return OBCRASH_NOT_SUPPORTED;
    reader->mobj = mobj;
    reader->cpu_type = cpu_type;
    reader->byteorder = obcrash_async_byteorder_little_endian();
    const ob_vm_address_t base = obcrash_async_mobject_base_address(mobj);
    uint32_t* fields = &reader->header.version;
    for (int i = 0; i < 7; ++i) {
        if (obcrash_async_mobject_read_uint32(mobj, reader->byteorder, base, i * 4, &fields[i]) != OBCRASH_OK)
            return OBCRASH_INVALID_ARGUMENT;
    }
    if (reader->header.version != 1) return OBCRASH_NOT_SUPPORTED;
    return OBCRASH_OK;
}

void obcrash_async_cfe_reader_free(obcrash_async_cfe_reader_t* reader) { (void)reader; }

/* A little-endian word of the section, refusing data outside it. */
static bool read_word(const obcrash_async_cfe_reader_t* reader, uint64_t offset, uint32_t* value) {
    if (offset > INT64_MAX) return false;
    return obcrash_async_mobject_read_uint32(reader->mobj, reader->byteorder,
                                             obcrash_async_mobject_base_address(reader->mobj), (ob_vm_off_t)offset,
                                             value) == OBCRASH_OK;
}

static bool read_half(const obcrash_async_cfe_reader_t* reader, uint64_t offset, uint16_t* value) {
    if (offset > INT64_MAX) return false;
    return obcrash_async_mobject_read_uint16(reader->mobj, reader->byteorder,
                                             obcrash_async_mobject_base_address(reader->mobj), (ob_vm_off_t)offset,
                                             value) == OBCRASH_OK;
}

static bool verify(const obcrash_async_cfe_reader_t* reader, uint64_t offset, uint64_t length) {
    if (offset > INT64_MAX) return false;
    return obcrash_async_mobject_remap_address(reader->mobj, obcrash_async_mobject_base_address(reader->mobj),
                                               (ob_vm_off_t)offset, length) != NULL;
}

/* The last of `count` sorted entries whose key is at or below pc; keys are read with `key`, which
 * was verified for the whole array beforehand. */
typedef uint32_t (*key_reader)(const obcrash_async_cfe_reader_t* reader, uint64_t array, uint32_t index, uint32_t base);

static uint32_t first_level_key(const obcrash_async_cfe_reader_t* reader, uint64_t array, uint32_t index,
                                uint32_t base) {
    uint32_t value = 0;
    read_word(reader, array + (uint64_t)index * 12, &value);
    return value + base;
}

static uint32_t regular_key(const obcrash_async_cfe_reader_t* reader, uint64_t array, uint32_t index, uint32_t base) {
    uint32_t value = 0;
    read_word(reader, array + (uint64_t)index * 8, &value);
    return value + base;
}

static uint32_t compressed_key(const obcrash_async_cfe_reader_t* reader, uint64_t array, uint32_t index,
                               uint32_t base) {
    uint32_t value = 0;
    read_word(reader, array + (uint64_t)index * 4, &value);
    return (value & 0xFFFFFF) + base;
}

static bool search(const obcrash_async_cfe_reader_t* reader, key_reader key, uint64_t array, uint32_t count,
                   uint32_t base, uint32_t pc, uint32_t* found) {
    if (count == 0 || pc < key(reader, array, 0, base)) return false;
    uint32_t low = 0, high = count - 1;
    while (low < high) {
        const uint32_t mid = low + (high - low + 1) / 2;
        if (key(reader, array, mid, base) <= pc) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    *found = low;
    return true;
}

obcrash_error_t obcrash_async_cfe_reader_find_pc(obcrash_async_cfe_reader_t* reader, uint32_t pc,
                                                 uint32_t* function_offset, uint32_t* encoding) {
    const obcrash_async_cfe_header_t* h = &reader->header;
    if (!verify(reader, h->common_encodings_offset, (uint64_t)h->common_encodings_count * 4))
        return OBCRASH_INVALID_ARGUMENT;
    if (h->index_count < 2) return OBCRASH_NOT_FOUND;
    const uint32_t index_entries = h->index_count - 1; /* the last one is a sentinel */
    if (!verify(reader, h->index_offset, (uint64_t)index_entries * 12)) return OBCRASH_INVALID_ARGUMENT;

    uint32_t first;
    if (!search(reader, first_level_key, h->index_offset, index_entries, 0, pc, &first)) return OBCRASH_NOT_FOUND;
    const uint64_t entry_at = h->index_offset + (uint64_t)first * 12;
    uint32_t first_function = 0, page = 0, kind;
    read_word(reader, entry_at, &first_function);
    read_word(reader, entry_at + 4, &page);
    if (!read_word(reader, page, &kind)) return OBCRASH_INVALID_ARGUMENT;

    uint16_t entry_offset, entry_count;
    if (kind == PAGE_KIND_COMPRESSED) {
        uint16_t encodings_offset, encodings_count;
        if (!verify(reader, page, 12)) return OBCRASH_INVALID_ARGUMENT;
        read_half(reader, (uint64_t)page + 4, &entry_offset);
        read_half(reader, (uint64_t)page + 6, &entry_count);
        read_half(reader, (uint64_t)page + 8, &encodings_offset);
        read_half(reader, (uint64_t)page + 10, &encodings_count);
        if (entry_count == 0) return OBCRASH_NOT_FOUND;
        const uint64_t entries = (uint64_t)page + entry_offset;
        if (!verify(reader, entries, (uint64_t)entry_count * 4)) return OBCRASH_INVALID_ARGUMENT;
        uint32_t at;
        if (!search(reader, compressed_key, entries, entry_count, first_function, pc, &at)) return OBCRASH_NOT_FOUND;
        uint32_t word = 0;
        read_word(reader, entries + (uint64_t)at * 4, &word);
        const uint32_t index = word >> 24;
        if (index < h->common_encodings_count) {
            read_word(reader, h->common_encodings_offset + (uint64_t)index * 4, encoding);
        } else {
            const uint32_t local = (index - h->common_encodings_count) & 0xFF;
            if (local >= encodings_count) return OBCRASH_INVALID_ARGUMENT;
            const uint64_t encodings = (uint64_t)page + encodings_offset;
            if (!verify(reader, encodings, (uint64_t)encodings_count * 4)) return OBCRASH_INVALID_ARGUMENT;
            read_word(reader, encodings + (uint64_t)local * 4, encoding);
        }
        *function_offset = (word & 0xFFFFFF) + first_function;
        return OBCRASH_OK;
    }
    if (kind == PAGE_KIND_REGULAR) {
        if (!verify(reader, page, 8)) return OBCRASH_INVALID_ARGUMENT;
        read_half(reader, (uint64_t)page + 4, &entry_offset);
        read_half(reader, (uint64_t)page + 6, &entry_count);
        if (entry_count == 0) return OBCRASH_NOT_FOUND;
        const uint64_t entries = (uint64_t)page + entry_offset;
        if (!verify(reader, entries, (uint64_t)entry_count * 8)) return OBCRASH_INVALID_ARGUMENT;
        uint32_t at;
        if (!search(reader, regular_key, entries, entry_count, 0, pc, &at)) return OBCRASH_NOT_FOUND;
        read_word(reader, entries + (uint64_t)at * 8, function_offset);
        read_word(reader, entries + (uint64_t)at * 8 + 4, encoding);
        return OBCRASH_OK;
    }
    return OBCRASH_INVALID_ARGUMENT;
}

static void entry_reset(obcrash_async_cfe_entry_t* entry, uint32_t cpu_type) {
    obcrash_async_memset(entry, 0, sizeof(*entry));
    entry->cpu_type = cpu_type;
    entry->return_address_register = OBCRASH_ASYNC_CFE_NO_REGISTER;
    for (int i = 0; i < OBCRASH_ASYNC_CFE_MAX_REGISTERS; ++i) entry->register_list[i] = OBCRASH_ASYNC_CFE_NO_REGISTER;
}

static obcrash_error_t decode_arm64(obcrash_async_cfe_entry_t* entry, uint32_t encoding) {
    const uint32_t mode = (encoding >> 24) & 0xF;
    switch (mode) {
    case 0: entry->type = OBCRASH_ASYNC_CFE_ENTRY_TYPE_NONE; return OBCRASH_OK;
    case 3:
        entry->type = OBCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF;
        entry->stack_offset = encoding & 0xFFFFFF;
        return OBCRASH_OK;
    case 2:
        entry->type = OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD;
        entry->stack_offset = (int64_t)((encoding >> 12) & 0xFFF) * 16;
        entry->return_address_register = 32; /* lr */
        break;
    case 4: entry->type = OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR; break;
    default: return OBCRASH_NOT_SUPPORTED;
    }
    /* Pairs from x28/x27 down to x20/x19, in thread-state numbers (x<n> is n + 3). */
    static const uint32_t pairs[5][3] = {
        {0x10, 31, 30}, {0x08, 29, 28}, {0x04, 27, 26}, {0x02, 25, 24}, {0x01, 23, 22}};
    for (int i = 0; i < 5; ++i) {
        if ((encoding & pairs[i][0]) == 0) continue;
        entry->register_list[entry->register_count++] = pairs[i][1];
        entry->register_list[entry->register_count++] = pairs[i][2];
    }
    if (mode == 4) entry->stack_offset = -8 * (int64_t)entry->register_count;
    return OBCRASH_OK;
}

static bool map_x86_register(uint32_t cpu_type, uint32_t field, uint32_t* regnum) {
    static const uint32_t x86_64[7] = {OBCRASH_ASYNC_CFE_NO_REGISTER, 4, 13, 14, 15, 16, 1};
    static const uint32_t x86[7] = {OBCRASH_ASYNC_CFE_NO_REGISTER,
                                    OBCRASH_X86_EBX,
                                    OBCRASH_X86_ECX,
                                    OBCRASH_X86_EDX,
                                    OBCRASH_X86_EDI,
                                    OBCRASH_X86_ESI,
                                    OBCRASH_X86_EBP};
    if (field > 6) return false;
    *regnum = cpu_type == CPU_TYPE_X86_64 ? x86_64[field] : x86[field];
    return true;
}

static obcrash_error_t decode_x86(obcrash_async_cfe_entry_t* entry, uint32_t cpu_type, uint32_t encoding) {
    const int64_t w = cpu_type == CPU_TYPE_X86_64 ? 8 : 4;
    const uint32_t mode = (encoding >> 24) & 0xF;
    switch (mode) {
    case 0: entry->type = OBCRASH_ASYNC_CFE_ENTRY_TYPE_NONE; return OBCRASH_OK;
    case 4:
        entry->type = OBCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF;
        entry->stack_offset = encoding & 0xFFFFFF;
        return OBCRASH_OK;
    case 1: {
        entry->type = OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR;
        entry->stack_offset = -(int64_t)((encoding >> 16) & 0xFF) * w;
        uint32_t fields = encoding & 0x7FFF;
        while (fields != 0) {
            if (!map_x86_register(cpu_type, fields & 7, &entry->register_list[entry->register_count]))
                return OBCRASH_INVALID_ARGUMENT;
            entry->register_count++;
            fields >>= 3;
        }
        return OBCRASH_OK;
    }
    case 2:
    case 3: {
        if (mode == 2) {
            entry->type = OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD;
            entry->stack_offset = (int64_t)((encoding >> 16) & 0xFF) * w;
        } else {
            entry->type = OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT;
            entry->stack_offset = (encoding >> 16) & 0xFF;
            entry->stack_adjust = (uint32_t)(((encoding >> 13) & 7) * w);
        }
        const uint32_t count = (encoding >> 10) & 7;
        uint32_t decoded[6];
        const obcrash_error_t err = obcrash_async_cfe_register_decode(encoding & 0x3FF, count, decoded);
        if (err != OBCRASH_OK) return err;
        for (uint32_t i = 0; i < count; ++i) {
            if (!map_x86_register(cpu_type, decoded[i], &entry->register_list[i])) return OBCRASH_INVALID_ARGUMENT;
        }
        entry->register_count = count;
        return OBCRASH_OK;
    }
    default: return OBCRASH_NOT_SUPPORTED;
    }
}

obcrash_error_t obcrash_async_cfe_entry_init(obcrash_async_cfe_entry_t* entry, uint32_t cpu_type, uint32_t encoding) {
    entry_reset(entry, cpu_type);
    switch (cpu_type) {
    case CPU_TYPE_ARM64: return decode_arm64(entry, encoding);
    case CPU_TYPE_X86_64:
    case CPU_TYPE_X86: return decode_x86(entry, cpu_type, encoding);
    default: return OBCRASH_NOT_SUPPORTED;
    }
}

void obcrash_async_cfe_entry_free(obcrash_async_cfe_entry_t* entry) { (void)entry; }

obcrash_async_cfe_entry_type_t obcrash_async_cfe_entry_type(const obcrash_async_cfe_entry_t* entry) {
    return (obcrash_async_cfe_entry_type_t)entry->type;
}
int64_t obcrash_async_cfe_entry_stack_offset(const obcrash_async_cfe_entry_t* entry) { return entry->stack_offset; }
uint32_t obcrash_async_cfe_entry_stack_adjustment(const obcrash_async_cfe_entry_t* entry) {
    return entry->stack_adjust;
}
uint32_t obcrash_async_cfe_entry_return_address_register(const obcrash_async_cfe_entry_t* entry) {
    return entry->return_address_register;
}
uint32_t obcrash_async_cfe_entry_register_count(const obcrash_async_cfe_entry_t* entry) {
    return entry->register_count;
}
void obcrash_async_cfe_entry_register_list(const obcrash_async_cfe_entry_t* entry, uint32_t* register_list) {
    for (uint32_t i = 0; i < entry->register_count; ++i) register_list[i] = entry->register_list[i];
}

uint32_t obcrash_async_cfe_register_encode(const uint32_t registers[], uint32_t count) {
    if (count < 1 || count > 6) return 0;
    uint32_t r[6];
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t smaller = 0;
        for (uint32_t j = 0; j < i; ++j) {
            if (registers[j] < registers[i]) ++smaller;
        }
        r[i] = registers[i] - 1 - smaller;
    }
    switch (count) {
    case 1: return r[0];
    case 2: return 5 * r[0] + r[1];
    case 3: return 20 * r[0] + 4 * r[1] + r[2];
    case 4: return 60 * r[0] + 12 * r[1] + 3 * r[2] + r[3];
    default: return 120 * r[0] + 24 * r[1] + 6 * r[2] + 2 * r[3] + r[4];
    }
}

obcrash_error_t obcrash_async_cfe_register_decode(uint32_t p, uint32_t count, uint32_t registers[]) {
    if (count > 6) return OBCRASH_INVALID_ARGUMENT;
    uint32_t d[6] = {0};
    switch (count) {
    case 0: return OBCRASH_OK;
    case 1: d[0] = p; break;
    case 2:
        d[0] = p / 5;
        d[1] = p % 5;
        break;
    case 3:
        d[0] = p / 20;
        d[1] = (p % 20) / 4;
        d[2] = p % 4;
        break;
    case 4:
        d[0] = p / 60;
        d[1] = (p % 60) / 12;
        d[2] = (p % 12) / 3;
        d[3] = p % 3;
        break;
    default:
        d[0] = p / 120;
        d[1] = (p % 120) / 24;
        d[2] = (p % 24) / 6;
        d[3] = (p % 6) / 2;
        d[4] = p % 2;
        break;
    }
    bool used[7] = {false};
    for (uint32_t i = 0; i < count; ++i) {
        /* The d-th register number of 1-6 not used yet; a digit past them is bad data. */
        uint32_t seen = 0, chosen = 0;
        for (uint32_t r = 1; r <= 6; ++r) {
            if (used[r]) continue;
            if (seen++ == d[i]) {
                chosen = r;
                break;
            }
        }
        if (chosen == 0) return OBCRASH_INVALID_ARGUMENT;
        used[chosen] = true;
        registers[i] = chosen;
    }
    return OBCRASH_OK;
}

static obcrash_error_t read_word_at(ob_task_t task, ob_vm_address_t address, uint64_t w, uint64_t* value) {
    uint8_t bytes[8] = {0};
    const obcrash_error_t err = obcrash_async_task_memcpy(task, address, 0, bytes, w);
    if (err != OBCRASH_OK) return err;
    uint64_t v = 0;
    for (uint64_t i = 0; i < w; ++i) v |= (uint64_t)bytes[i] << (8 * i);
    *value = v;
    return OBCRASH_OK;
}

obcrash_error_t obcrash_async_cfe_entry_apply(ob_task_t task, ob_vm_address_t function_address,
                                              const obcrash_async_thread_state_t* thread_state,
                                              const obcrash_async_cfe_entry_t* entry,
                                              obcrash_async_thread_state_t* new_thread_state) {
    /* The entry's registers come from the image: a number the thread state does not have is
     * damaged data (or an entry of another architecture), not a reason to stop the process. */
    const size_t register_count = obcrash_async_thread_state_get_reg_count(thread_state);
    if (entry->return_address_register != OBCRASH_ASYNC_CFE_NO_REGISTER &&
        entry->return_address_register >= register_count)
        return OBCRASH_INVALID_DATA;
    for (uint32_t i = 0; i < entry->register_count && i < OBCRASH_ASYNC_CFE_MAX_REGISTERS; ++i) {
        if (entry->register_list[i] != OBCRASH_ASYNC_CFE_NO_REGISTER && entry->register_list[i] >= register_count)
            return OBCRASH_INVALID_DATA;
    }
    const uint64_t w = obcrash_async_thread_state_get_greg_size(thread_state);
    obcrash_async_thread_state_copy(new_thread_state, thread_state);
    obcrash_async_thread_state_clear_volatile_regs(new_thread_state);

    ob_vm_address_t base;
    obcrash_error_t err;
    switch (entry->type) {
    case OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR: {
        if (!obcrash_async_thread_state_has_reg(thread_state, 1)) return OBCRASH_NOT_FOUND;
        const uint64_t fp = obcrash_async_thread_state_get_reg(thread_state, 1);
        ob_vm_address_t sp;
        if (__builtin_add_overflow(fp, 2 * w, &sp)) return OBCRASH_INVALID_ARGUMENT;
        uint64_t saved_fp, saved_pc;
        if ((err = read_word_at(task, fp, w, &saved_fp)) != OBCRASH_OK) return err;
        if ((err = read_word_at(task, fp + w, w, &saved_pc)) != OBCRASH_OK) return err;
        obcrash_async_thread_state_set_reg(new_thread_state, 2, sp);
        obcrash_async_thread_state_set_reg(new_thread_state, 1, saved_fp);
        obcrash_async_thread_state_set_reg(new_thread_state, 0, saved_pc);
        base = fp + (uint64_t)entry->stack_offset;
        break;
    }
    case OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD:
    case OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT: {
        if (!obcrash_async_thread_state_has_reg(thread_state, 2)) return OBCRASH_NOT_FOUND;
        const uint64_t sp = obcrash_async_thread_state_get_reg(thread_state, 2);
        uint64_t size = (uint64_t)entry->stack_offset;
        if (entry->type == OBCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT) {
            uint64_t immediate;
            if ((err = read_word_at(task, function_address + (uint64_t)entry->stack_offset, 4, &immediate)) !=
                OBCRASH_OK)
                return err;
            size = immediate + entry->stack_adjust;
        }
        const uint64_t new_sp = sp + size;
        uint64_t pc;
        if (entry->return_address_register == OBCRASH_ASYNC_CFE_NO_REGISTER) {
            if ((err = read_word_at(task, new_sp - w, w, &pc)) != OBCRASH_OK) return err;
            base = new_sp - w - w * entry->register_count;
        } else {
            if (!obcrash_async_thread_state_has_reg(thread_state, entry->return_address_register))
                return OBCRASH_NOT_FOUND;
            pc = obcrash_async_thread_state_get_reg(thread_state, entry->return_address_register);
            base = new_sp - w * entry->register_count;
        }
        obcrash_async_thread_state_set_reg(new_thread_state, 2, new_sp);
        obcrash_async_thread_state_set_reg(new_thread_state, 0, pc);
        break;
    }
    default: return OBCRASH_NOT_SUPPORTED;
    }

    for (uint32_t i = 0; i < entry->register_count && i < OBCRASH_ASYNC_CFE_MAX_REGISTERS; ++i) {
        if (entry->register_list[i] == OBCRASH_ASYNC_CFE_NO_REGISTER) continue;
        uint64_t value;
        if ((err = read_word_at(task, base + i * w, w, &value)) != OBCRASH_OK) return err;
        obcrash_async_thread_state_set_reg(new_thread_state, entry->register_list[i], value);
    }
    return OBCRASH_OK;
}
