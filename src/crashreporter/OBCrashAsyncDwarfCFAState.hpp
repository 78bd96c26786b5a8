#pragma once
// The rules of one frame's call-frame information: a fixed table filled by running the CIE's and
// the FDE's CFA programs up to the frame's pc, then applied to the frame's registers to give the
// caller's. Lives on the caller's stack; no heap, no locks.
#include "crashreporter/OBCrashAsyncDwarfExpression.hpp"
#include "crashreporter/OBCrashAsyncDwarfFrame.hpp"

namespace obcrash::OB::async {

typedef enum : uint32_t {
    OBCRASH_DWARF_CFA_REG_RULE_OFFSET = 0,
    OBCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET = 1,
    OBCRASH_DWARF_CFA_REG_RULE_REGISTER = 2,
    OBCRASH_DWARF_CFA_REG_RULE_EXPRESSION = 3,
    OBCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION = 4,
    OBCRASH_DWARF_CFA_REG_RULE_SAME_VALUE = 5,
} obcrash_dwarf_cfa_reg_rule_t;

enum dwarf_cfa_rule_type : uint8_t {
    DWARF_CFA_RULE_UNDEFINED = 0,
    DWARF_CFA_RULE_EXPRESSION = 1,
    DWARF_CFA_RULE_REGISTER = 2,
    DWARF_CFA_RULE_REGISTER_SIGNED = 3,
};

template <typename T>
class dwarf_cfa_rule {
public:
    using S = std::make_signed_t<T>;
    void set_undefined_rule() { type_ = DWARF_CFA_RULE_UNDEFINED; }
    void set_register_rule(uint32_t regnum, T offset) {
        type_ = DWARF_CFA_RULE_REGISTER;
        regnum_ = regnum;
        offset_ = offset;
    }
    void set_register_rule_signed(uint32_t regnum, S offset) {
        type_ = DWARF_CFA_RULE_REGISTER_SIGNED;
        regnum_ = regnum;
        offset_ = static_cast<T>(offset);
    }
    void set_expression_rule(uint64_t address, uint64_t length) {
        type_ = DWARF_CFA_RULE_EXPRESSION;
        expression_address_ = address;
        expression_length_ = length;
    }
    dwarf_cfa_rule_type type() const { return type_; }
    uint32_t register_number() const { return regnum_; }
    T register_offset() const { return offset_; }
    S register_offset_signed() const { return static_cast<S>(offset_); }
    uint64_t expression_address() const { return expression_address_; }
    uint64_t expression_length() const { return expression_length_; }

private:
    dwarf_cfa_rule_type type_ = DWARF_CFA_RULE_UNDEFINED;
    uint32_t regnum_ = 0;
    T offset_ = 0;
    uint64_t expression_address_ = 0;
    uint64_t expression_length_ = 0;
};

template <typename T>
class dwarf_cfa_state_iterator;

template <typename T>
class dwarf_cfa_state {
public:
    using S = std::make_signed_t<T>;
    static constexpr uint8_t kPoolSize = 100;
    static constexpr uint8_t kLevels = 6;
    static constexpr uint8_t kBuckets = 14;
    static constexpr uint8_t kNone = 255;

    dwarf_cfa_state() {
        for (uint8_t i = 0; i < kPoolSize; ++i) entries_[i].next = i + 1 < kPoolSize ? i + 1 : kNone;
        free_ = 0;
        for (auto& level : levels_) level.reset();
    }

    bool set_register(uint32_t regnum, obcrash_dwarf_cfa_reg_rule_t rule, T value) {
        return set_register_at(level_, regnum, rule, value);
    }

    bool get_register_rule(uint32_t regnum, obcrash_dwarf_cfa_reg_rule_t* rule, T* value) const {
        for (uint8_t at = levels_[level_].buckets[regnum % kBuckets]; at != kNone; at = entries_[at].next) {
            if (entries_[at].regnum == regnum) {
                *rule = entries_[at].rule;
                *value = entries_[at].value;
                return true;
            }
        }
        return false;
    }

    void remove_register(uint32_t regnum) {
        Level& level = levels_[level_];
        uint8_t* link = &level.buckets[regnum % kBuckets];
        while (*link != kNone) {
            const uint8_t at = *link;
            if (entries_[at].regnum == regnum) {
                *link = entries_[at].next;
                entries_[at].next = free_;
                free_ = at;
                --level.count;
                return;
            }
            link = &entries_[at].next;
        }
    }

    uint8_t get_register_count() const { return levels_[level_].count; }

    void set_cfa_register(uint32_t regnum, T offset) { levels_[level_].cfa.set_register_rule(regnum, offset); }
    void set_cfa_register_signed(uint32_t regnum, S offset) {
        levels_[level_].cfa.set_register_rule_signed(regnum, offset);
    }
    void set_cfa_expression(uint64_t address, uint64_t length) {
        levels_[level_].cfa.set_expression_rule(address, length);
    }
    dwarf_cfa_rule<T> get_cfa_rule() const { return levels_[level_].cfa; }

    /* The new level starts as a copy of the current one: remembered rules stay in force until
     * the program changes them. */
    bool push_state() {
        if (level_ + 1 >= kLevels) return false;
        const uint8_t from = level_;
        const uint8_t to = level_ + 1;
        levels_[to].reset();
        levels_[to].cfa = levels_[from].cfa;
        for (uint8_t b = 0; b < kBuckets; ++b) {
            for (uint8_t at = levels_[from].buckets[b]; at != kNone; at = entries_[at].next) {
                if (!set_register_at(to, entries_[at].regnum, entries_[at].rule, entries_[at].value)) {
                    release_level(to);
                    return false;
                }
            }
        }
        level_ = to;
        return true;
    }

    /* The left level's entries go back to the pool, so remember/restore pairs cost nothing. */
    bool pop_state() {
        if (level_ == 0) return false;
        release_level(level_);
        --level_;
        return true;
    }

    obcrash_error_t eval_program(const obcrash_async_mobject_t* mobj, T pc, T initial_location,
                                 const obcrash_async_dwarf_cie_info_t* cie, const gnu_ehptr_reader<T>* ptr_reader,
                                 const obcrash_async_byteorder_t* byteorder, ob_vm_address_t address,
                                 ob_vm_off_t offset, ob_vm_off_t length);

    obcrash_error_t apply_state(ob_task_t task, const obcrash_async_dwarf_cie_info_t* cie,
                                const obcrash_async_thread_state_t* thread_state,
                                const obcrash_async_byteorder_t* byteorder,
                                obcrash_async_thread_state_t* new_thread_state);

private:
    friend class dwarf_cfa_state_iterator<T>;

    struct Entry {
        T value = 0;
        uint32_t regnum = 0;
        obcrash_dwarf_cfa_reg_rule_t rule = OBCRASH_DWARF_CFA_REG_RULE_OFFSET;
        uint8_t next = kNone;
    };
    struct Level {
        uint8_t buckets[kBuckets];
        uint8_t count;
        dwarf_cfa_rule<T> cfa;
        void reset() {
            for (uint8_t& b : buckets) b = kNone;
            count = 0;
            cfa.set_undefined_rule();
        }
    };

    bool set_register_at(uint8_t levelIndex, uint32_t regnum, obcrash_dwarf_cfa_reg_rule_t rule, T value) {
        Level& level = levels_[levelIndex];
        uint8_t* link = &level.buckets[regnum % kBuckets];
        while (*link != kNone) {
            Entry& entry = entries_[*link];
            if (entry.regnum == regnum) {
                entry.rule = rule;
                entry.value = value;
                return true;
            }
            link = &entry.next;
        }
        if (free_ == kNone) return false;
        const uint8_t at = free_;
        free_ = entries_[at].next;
        entries_[at].regnum = regnum;
        entries_[at].rule = rule;
        entries_[at].value = value;
        entries_[at].next = kNone;
        *link = at;
        ++level.count;
        return true;
    }

    void release_level(uint8_t levelIndex) {
        Level& level = levels_[levelIndex];
        for (uint8_t& head : level.buckets) {
            while (head != kNone) {
                const uint8_t at = head;
                head = entries_[at].next;
                entries_[at].next = free_;
                free_ = at;
            }
        }
        level.reset();
    }

    Entry entries_[kPoolSize];
    uint8_t free_;
    Level levels_[kLevels];
    uint8_t level_ = 0;
};

template <typename T>
class dwarf_cfa_state_iterator {
public:
    explicit dwarf_cfa_state_iterator(const dwarf_cfa_state<T>* state) : state_(state) {}

    bool next(uint32_t* regnum, obcrash_dwarf_cfa_reg_rule_t* rule, T* value) {
        using State = dwarf_cfa_state<T>;
        const auto& level = state_->levels_[state_->level_];
        if (entry_ != State::kNone) {
            entry_ = state_->entries_[entry_].next;
            if (entry_ == State::kNone) ++bucket_;
        }
        while (entry_ == State::kNone) {
            if (bucket_ >= State::kBuckets) return false;
            entry_ = level.buckets[bucket_];
            if (entry_ == State::kNone) ++bucket_;
        }
        const auto& entry = state_->entries_[entry_];
        *regnum = entry.regnum;
        *rule = entry.rule;
        *value = entry.value;
        return true;
    }

private:
    const dwarf_cfa_state<T>* state_;
    uint8_t bucket_ = 0;
    uint8_t entry_ = 255;
};

template <typename T>
obcrash_error_t dwarf_cfa_state<T>::eval_program(const obcrash_async_mobject_t* mobj, T pc, T initial_location,
                                                 const obcrash_async_dwarf_cie_info_t* cie,
                                                 const gnu_ehptr_reader<T>* ptr_reader,
                                                 const obcrash_async_byteorder_t* byteorder, ob_vm_address_t address,
                                                 ob_vm_off_t offset, ob_vm_off_t length) {
    // The rules in force before this program: what DW_CFA_restore goes back to.
    dwarf_cfa_state<T> initial;
    {
        dwarf_cfa_state_iterator<T> it(this);
        uint32_t regnum;
        obcrash_dwarf_cfa_reg_rule_t rule;
        T value;
        while (it.next(&regnum, &rule, &value)) {
            if (!initial.set_register(regnum, rule, value)) return OBCRASH_NO_MEMORY;
        }
    }

    const bool has_reader = ptr_reader != nullptr;
    const gnu_ehptr_reader<T> absptr_reader(byteorder);
    const uint8_t set_loc_encoding = cie->has_eh_augmentation && cie->has_pointer_encoding && has_reader
                                         ? cie->pointer_encoding
                                         : uint8_t{DW_EH_PE_absptr};
    if (!has_reader) ptr_reader = &absptr_reader;

    ob_vm_address_t start;
    if (!obcrash_async_address_apply_offset(address, offset, &start)) return OBCRASH_INVALID_ARGUMENT;
    dwarf_opstream stream;
    const obcrash_error_t opened = stream.init(mobj, byteorder, start, 0, length);
    if (opened != OBCRASH_OK) return opened;

    const T caf = static_cast<T>(cie->code_alignment_factor);
    const T daf = static_cast<T>(cie->data_alignment_factor);
    T location = initial_location;
    if (pc != 0 && location > pc) return OBCRASH_OK;

    auto read_register = [&](uint32_t* regnum) -> obcrash_error_t {
        uint64_t value;
        if (!stream.read_uleb128(&value)) return OBCRASH_INVALID_ARGUMENT;
        if (value > 0xFFFFFFFFu) return OBCRASH_NOT_SUPPORTED;
        *regnum = static_cast<uint32_t>(value);
        return OBCRASH_OK;
    };
    auto restore = [&](uint32_t regnum) {
        obcrash_dwarf_cfa_reg_rule_t rule;
        T value;
        if (initial.get_register_rule(regnum, &rule, &value)) {
            return set_register(regnum, rule, value);
        }
        remove_register(regnum);
        return true;
    };
    // A block's length, checked to lie inside the program; the stream moves past the block.
    auto skip_block = [&](uint64_t* block_length) -> obcrash_error_t {
        if (!stream.read_uleb128(block_length)) return OBCRASH_INVALID_ARGUMENT;
        if (*block_length > static_cast<uint64_t>(INT64_MAX)) return OBCRASH_INVALID_ARGUMENT;
        if (!stream.skip(static_cast<ob_vm_off_t>(*block_length))) return OBCRASH_INVALID_ARGUMENT;
        return OBCRASH_OK;
    };

#define OB_CFA_TRY(expr)                                   \
    do {                                                   \
        const obcrash_error_t ob_cfa_err_ = (expr);        \
        if (ob_cfa_err_ != OBCRASH_OK) return ob_cfa_err_; \
    } while (0)
#define OB_CFA_SET(regnum, rule, value) \
    if (!set_register((regnum), (rule), static_cast<T>(value))) return OBCRASH_NO_MEMORY

    while (!stream.at_end()) {
        uint8_t opcode;
        if (!stream.read_intU<uint8_t>(&opcode)) return OBCRASH_INVALID_ARGUMENT;
        const uint8_t operand = opcode & 0x3F;
        uint32_t reg = 0, reg2 = 0;
        uint64_t u = 0;
        int64_t s = 0;

        switch (opcode & 0xC0) {
        case 0x40:  // DW_CFA_advance_loc
            location = static_cast<T>(location + operand * caf);
            break;
        case 0x80:  // DW_CFA_offset
            if (!stream.read_uleb128(&u)) return OBCRASH_INVALID_ARGUMENT;
            OB_CFA_SET(operand, OBCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<T>(u) * daf);
            break;
        case 0xC0:  // DW_CFA_restore
            if (!restore(operand)) return OBCRASH_NO_MEMORY;
            break;
        default:
            switch (opcode) {
            case 0x00: break;  // DW_CFA_nop
            case 0x01:         // DW_CFA_set_loc
                if (cie->segment_size != 0) return OBCRASH_NOT_SUPPORTED;
                if (!stream.read_gnueh_ptr<T>(ptr_reader, set_loc_encoding, &location)) return OBCRASH_INVALID_ARGUMENT;
                break;
            case 0x02: {
                uint8_t delta;
                if (!stream.read_intU<uint8_t>(&delta)) return OBCRASH_INVALID_ARGUMENT;
                location = static_cast<T>(location + delta * caf);
                break;
            }
            case 0x03: {
                uint16_t delta;
                if (!stream.read_intU<uint16_t>(&delta)) return OBCRASH_INVALID_ARGUMENT;
                location = static_cast<T>(location + delta * caf);
                break;
            }
            case 0x04: {
                uint32_t delta;
                if (!stream.read_intU<uint32_t>(&delta)) return OBCRASH_INVALID_ARGUMENT;
                location = static_cast<T>(location + static_cast<T>(delta) * caf);
                break;
            }
            case 0x05:  // DW_CFA_offset_extended
                OB_CFA_TRY(read_register(&reg));
                if (!stream.read_uleb128(&u)) return OBCRASH_INVALID_ARGUMENT;
                OB_CFA_SET(reg, OBCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<T>(u) * daf);
                break;
            case 0x06:  // DW_CFA_restore_extended
                OB_CFA_TRY(read_register(&reg));
                if (!restore(reg)) return OBCRASH_NO_MEMORY;
                break;
            case 0x07:  // DW_CFA_undefined
                OB_CFA_TRY(read_register(&reg));
                remove_register(reg);
                break;
            case 0x08:  // DW_CFA_same_value
                OB_CFA_TRY(read_register(&reg));
                OB_CFA_SET(reg, OBCRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0);
                break;
            case 0x09:  // DW_CFA_register
                OB_CFA_TRY(read_register(&reg));
                OB_CFA_TRY(read_register(&reg2));
                OB_CFA_SET(reg, OBCRASH_DWARF_CFA_REG_RULE_REGISTER, reg2);
                break;
            case 0x0A:  // DW_CFA_remember_state
                if (!push_state()) return OBCRASH_NO_MEMORY;
                break;
            case 0x0B:  // DW_CFA_restore_state
                if (!pop_state()) return OBCRASH_INVALID_ARGUMENT;
                break;
            case 0x0C:  // DW_CFA_def_cfa
                OB_CFA_TRY(read_register(&reg));
                if (!stream.read_uleb128(&u)) return OBCRASH_INVALID_ARGUMENT;
                set_cfa_register(reg, static_cast<T>(u));
                break;
            case 0x0D: {  // DW_CFA_def_cfa_register
                const dwarf_cfa_rule<T> cfa = get_cfa_rule();
                if (cfa.type() == DWARF_CFA_RULE_REGISTER) {
                    OB_CFA_TRY(read_register(&reg));
                    set_cfa_register(reg, cfa.register_offset());
                } else if (cfa.type() == DWARF_CFA_RULE_REGISTER_SIGNED) {
                    OB_CFA_TRY(read_register(&reg));
                    set_cfa_register_signed(reg, cfa.register_offset_signed());
                } else {
                    return OBCRASH_INVALID_ARGUMENT;
                }
                break;
            }
            case 0x0E:    // DW_CFA_def_cfa_offset
            case 0x13: {  // DW_CFA_def_cfa_offset_sf
                const dwarf_cfa_rule<T> cfa = get_cfa_rule();
                if (cfa.type() != DWARF_CFA_RULE_REGISTER && cfa.type() != DWARF_CFA_RULE_REGISTER_SIGNED)
                    return OBCRASH_INVALID_ARGUMENT;
                if (opcode == 0x0E) {
                    if (!stream.read_uleb128(&u)) return OBCRASH_INVALID_ARGUMENT;
                    set_cfa_register(cfa.register_number(), static_cast<T>(u));
                } else {
                    if (!stream.read_sleb128(&s)) return OBCRASH_INVALID_ARGUMENT;
                    set_cfa_register_signed(cfa.register_number(), static_cast<S>(static_cast<T>(s) * daf));
                }
                break;
            }
            case 0x0F: {  // DW_CFA_def_cfa_expression
                uint64_t block_length;
                if (!stream.read_uleb128(&block_length)) return OBCRASH_INVALID_ARGUMENT;
                if (static_cast<int64_t>(block_length) < 0) return OBCRASH_NOT_SUPPORTED;
                const ob_vm_address_t block = stream.get_start_address() + stream.get_position();
                if (!stream.skip(static_cast<ob_vm_off_t>(block_length))) return OBCRASH_INVALID_ARGUMENT;
                set_cfa_expression(block, block_length);
                break;
            }
            case 0x10:    // DW_CFA_expression
            case 0x16: {  // DW_CFA_val_expression
                OB_CFA_TRY(read_register(&reg));
                const ob_vm_address_t field = stream.get_start_address() + stream.get_position();
                uint64_t block_length;
                OB_CFA_TRY(skip_block(&block_length));
                OB_CFA_SET(
                    reg,
                    opcode == 0x10 ? OBCRASH_DWARF_CFA_REG_RULE_EXPRESSION : OBCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION,
                    field);
                break;
            }
            case 0x11:  // DW_CFA_offset_extended_sf
                OB_CFA_TRY(read_register(&reg));
                if (!stream.read_sleb128(&s)) return OBCRASH_INVALID_ARGUMENT;
                OB_CFA_SET(reg, OBCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<T>(s) * daf);
                break;
            case 0x12:  // DW_CFA_def_cfa_sf
                OB_CFA_TRY(read_register(&reg));
                if (!stream.read_sleb128(&s)) return OBCRASH_INVALID_ARGUMENT;
                set_cfa_register_signed(reg, static_cast<S>(static_cast<T>(s) * daf));
                break;
            case 0x14:  // DW_CFA_val_offset
                OB_CFA_TRY(read_register(&reg));
                if (!stream.read_uleb128(&u)) return OBCRASH_INVALID_ARGUMENT;
                OB_CFA_SET(reg, OBCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, static_cast<T>(u) * daf);
                break;
            case 0x15:  // DW_CFA_val_offset_sf
                OB_CFA_TRY(read_register(&reg));
                if (!stream.read_sleb128(&s)) return OBCRASH_INVALID_ARGUMENT;
                OB_CFA_SET(reg, OBCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, static_cast<T>(s) * daf);
                break;
            case 0x2E:  // DW_CFA_GNU_args_size: the outgoing argument size of a landing pad, no rule
                if (!stream.read_uleb128(&u)) return OBCRASH_INVALID_ARGUMENT;
                break;
            default: return OBCRASH_NOT_SUPPORTED;
            }
        }
        if (pc != 0 && location > pc) return OBCRASH_OK;
    }
#undef OB_CFA_TRY
#undef OB_CFA_SET
    return OBCRASH_OK;
}

namespace detail {

/* Runs an expression that lies in the task at [address, address + length), mapped for the run. */
inline obcrash_error_t eval_task_expression(ob_task_t task, const obcrash_async_thread_state_t* thread_state,
                                            const obcrash_async_byteorder_t* byteorder, ob_vm_address_t address,
                                            uint64_t length, const uint64_t* initial, size_t initial_count,
                                            uint64_t* result) {
    if (length > static_cast<uint64_t>(INT64_MAX)) return OBCRASH_INVALID_ARGUMENT;
    obcrash_async_mobject_t mobj;
    obcrash_error_t err = obcrash_async_mobject_init(&mobj, task, address, length, true);
    if (err != OBCRASH_OK) return err;
    if (obcrash_async_thread_state_get_greg_size(thread_state) == 8) {
        err = obcrash_async_dwarf_expression_eval<uint64_t>(&mobj, task, thread_state, byteorder, address, 0,
                                                            static_cast<ob_vm_off_t>(length), initial, initial_count,
                                                            result);
    } else {
        uint32_t initial32[1] = {initial_count > 0 ? static_cast<uint32_t>(initial[0]) : 0};
        uint32_t result32 = 0;
        err = obcrash_async_dwarf_expression_eval<uint32_t>(&mobj, task, thread_state, byteorder, address, 0,
                                                            static_cast<ob_vm_off_t>(length), initial32,
                                                            initial_count > 0 ? 1 : 0, &result32);
        *result = result32;
    }
    obcrash_async_mobject_free(&mobj);
    return err;
}

}  // namespace detail

template <typename T>
obcrash_error_t dwarf_cfa_state<T>::apply_state(ob_task_t task, const obcrash_async_dwarf_cie_info_t* cie,
                                                const obcrash_async_thread_state_t* thread_state,
                                                const obcrash_async_byteorder_t* byteorder,
                                                obcrash_async_thread_state_t* new_thread_state) {
    obcrash_async_thread_state_copy(new_thread_state, thread_state);
    obcrash_async_thread_state_clear_volatile_regs(new_thread_state);

    const dwarf_cfa_rule<T> cfa_rule = get_cfa_rule();
    T cfa = 0;
    switch (cfa_rule.type()) {
    case DWARF_CFA_RULE_UNDEFINED: return OBCRASH_INVALID_ARGUMENT;
    case DWARF_CFA_RULE_EXPRESSION: {
        uint64_t value;
        const obcrash_error_t err =
            detail::eval_task_expression(task, thread_state, byteorder, cfa_rule.expression_address(),
                                         cfa_rule.expression_length(), nullptr, 0, &value);
        if (err != OBCRASH_OK) return err;
        cfa = static_cast<T>(value);
        break;
    }
    case DWARF_CFA_RULE_REGISTER:
    case DWARF_CFA_RULE_REGISTER_SIGNED: {
        uint64_t value;
        const obcrash_error_t err = detail::dwarf_register_value(thread_state, cfa_rule.register_number(), &value);
        if (err != OBCRASH_OK) return err;
        cfa = static_cast<T>(static_cast<T>(value) + cfa_rule.register_offset());
        break;
    }
    }
    obcrash_async_thread_state_set_reg(new_thread_state, 2, cfa);

    const uint64_t word = obcrash_async_thread_state_get_greg_size(thread_state);
    dwarf_cfa_state_iterator<T> it(this);
    uint32_t dwarf_reg;
    obcrash_dwarf_cfa_reg_rule_t rule;
    T operand;
    while (it.next(&dwarf_reg, &rule, &operand)) {
        uint32_t target;
        if (!obcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarf_reg, &target)) {
            if (dwarf_reg != cie->return_address_register) return OBCRASH_INVALID_ARGUMENT;
            target = 0;
        }
        uint64_t value = 0;
        obcrash_error_t err = OBCRASH_OK;
        switch (rule) {
        case OBCRASH_DWARF_CFA_REG_RULE_OFFSET:
            err = detail::read_task_word<uint64_t>(task, static_cast<T>(cfa + operand), static_cast<uint8_t>(word),
                                                   &value);
            break;
        case OBCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET: value = static_cast<T>(cfa + operand); break;
        case OBCRASH_DWARF_CFA_REG_RULE_REGISTER: {
            uint32_t source;
            if (!obcrash_async_thread_state_map_dwarf_to_reg(thread_state, operand, &source))
                return OBCRASH_INVALID_ARGUMENT;
            if (!obcrash_async_thread_state_has_reg(thread_state, source)) return OBCRASH_NOT_FOUND;
            value = obcrash_async_thread_state_get_reg(thread_state, source);
            break;
        }
        case OBCRASH_DWARF_CFA_REG_RULE_SAME_VALUE:
            if (!obcrash_async_thread_state_has_reg(thread_state, target)) return OBCRASH_NOT_FOUND;
            value = obcrash_async_thread_state_get_reg(thread_state, target);
            break;
        case OBCRASH_DWARF_CFA_REG_RULE_EXPRESSION:
        case OBCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION: {
            uint64_t block_length;
            ob_vm_size_t size;
            err = obcrash_async_dwarf_read_task_uleb128(task, operand, 0, &block_length, &size);
            if (err != OBCRASH_OK) return err;
            ob_vm_address_t block;
            if (__builtin_add_overflow(static_cast<uint64_t>(operand), size, &block)) return OBCRASH_INVALID_ARGUMENT;
            const uint64_t initial = cfa;
            err = detail::eval_task_expression(task, thread_state, byteorder, block, block_length, &initial, 1, &value);
            if (err != OBCRASH_OK) return err;
            if (rule == OBCRASH_DWARF_CFA_REG_RULE_EXPRESSION) {
                err = detail::read_task_word<uint64_t>(task, value, static_cast<uint8_t>(word), &value);
            }
            break;
        }
        default: return OBCRASH_INVALID_ARGUMENT;
        }
        if (err != OBCRASH_OK) return err;
        obcrash_async_thread_state_set_reg(new_thread_state, target, value);
        if (dwarf_reg == cie->return_address_register && target != 0) {
            obcrash_async_thread_state_set_reg(new_thread_state, 0, value);
        }
    }

    if (obcrash_async_thread_state_has_reg(new_thread_state, 0)) return OBCRASH_OK;
    uint32_t ra;
    if (!obcrash_async_thread_state_map_dwarf_to_reg(thread_state, cie->return_address_register, &ra))
        return OBCRASH_INVALID_ARGUMENT;
    if (!obcrash_async_thread_state_has_reg(thread_state, ra)) return OBCRASH_INVALID_ARGUMENT;
    obcrash_async_thread_state_set_reg(new_thread_state, 0, obcrash_async_thread_state_get_reg(thread_state, ra));
    return OBCRASH_OK;
}

}  // namespace obcrash::OB::async
