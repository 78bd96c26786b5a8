#pragma once
// Call-frame information in eh-frame or debug-frame format: the CIE and FDE parsers and the linear
// search for the FDE that covers a pc. Offsets in the records are relative to the start of the
// section's memory object. Async-signal-safe: all state lives on the caller's stack.
#include "crashreporter/OBCrashAsyncDwarfPrimitives.hpp"

namespace obcrash::OB::async {

struct obcrash_async_dwarf_cie_info_t {
    uint64_t cie_offset;
    uint64_t cie_length;
    uint64_t cie_id;
    uint8_t cie_version;
    uint8_t address_size;
    uint8_t segment_size;
    uint64_t code_alignment_factor;
    int64_t data_alignment_factor;
    uint64_t return_address_register;
    bool has_eh_augmentation;
    bool has_lsda_encoding;
    uint8_t lsda_encoding;
    bool has_personality_address;
    uint64_t personality_address;
    bool has_pointer_encoding;
    uint8_t pointer_encoding;
    bool signal_frame;
    uint64_t initial_instructions_offset;
    uint64_t initial_instructions_length;
};

struct obcrash_async_dwarf_fde_info_t {
    uint64_t fde_offset;
    uint64_t fde_length;
    uint64_t cie_offset;
    uint64_t pc_start;
    uint64_t pc_end;
    uint64_t instructions_offset;
    uint64_t instructions_length;
};

inline uint64_t obcrash_async_dwarf_cie_info_initial_instructions_offset(const obcrash_async_dwarf_cie_info_t* info) {
    return info->initial_instructions_offset;
}
inline uint64_t obcrash_async_dwarf_cie_info_initial_instructions_length(const obcrash_async_dwarf_cie_info_t* info) {
    return info->initial_instructions_length;
}
inline uint64_t obcrash_async_dwarf_fde_info_instructions_offset(const obcrash_async_dwarf_fde_info_t* info) {
    return info->instructions_offset;
}
inline uint64_t obcrash_async_dwarf_fde_info_instructions_length(const obcrash_async_dwarf_fde_info_t* info) {
    return info->instructions_length;
}
inline void obcrash_async_dwarf_cie_info_free(obcrash_async_dwarf_cie_info_t*) {}
inline void obcrash_async_dwarf_fde_info_free(obcrash_async_dwarf_fde_info_t*) {}

namespace detail {

/* Moves a position forward by a number read from the data, refusing a wrap. */
inline bool advance(ob_vm_off_t* position, uint64_t by) {
    if (by > static_cast<uint64_t>(INT64_MAX)) return false;
    return !__builtin_add_overflow(*position, static_cast<ob_vm_off_t>(by), position);
}

}  // namespace detail

template <typename T>
obcrash_error_t obcrash_async_dwarf_cie_info_init(obcrash_async_dwarf_cie_info_t* info,
                                                  const obcrash_async_mobject_t* mobj,
                                                  const obcrash_async_byteorder_t* byteorder,
                                                  const gnu_ehptr_reader<T>* ptr_reader, ob_vm_address_t address) {
    obcrash_async_memset(info, 0, sizeof(*info));
    const ob_vm_address_t section_base = obcrash_async_mobject_base_address(mobj);
    obcrash_error_t err;

    uint32_t length32;
    if (obcrash_async_mobject_read_uint32(mobj, byteorder, address, 0, &length32) != OBCRASH_OK)
        return OBCRASH_INVALID_ARGUMENT;
    ob_vm_off_t header, position;
    if (length32 < 0xFFFFFFFFu) {
        header = 4;
        info->cie_length = length32;
        uint32_t id;
        if ((err = obcrash_async_mobject_read_uint32(mobj, byteorder, address, 4, &id)) != OBCRASH_OK) return err;
        if (id != 0 && id != 0xFFFFFFFFu) return OBCRASH_INVALID_ARGUMENT;
        info->cie_id = id;
        position = 8;
    } else {
        header = 12;
        if ((err = obcrash_async_mobject_read_uint64(mobj, byteorder, address, 4, &info->cie_length)) != OBCRASH_OK)
            return err;
        if ((err = obcrash_async_mobject_read_uint64(mobj, byteorder, address, 12, &info->cie_id)) != OBCRASH_OK)
            return err;
        if (info->cie_id != 0 && info->cie_id != UINT64_MAX) return OBCRASH_INVALID_ARGUMENT;
        position = 20;
    }
    info->cie_offset = address - section_base + static_cast<uint64_t>(header);

    if ((err = obcrash_async_mobject_read_uint8(mobj, address, position++, &info->cie_version)) != OBCRASH_OK)
        return err;
    if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4) return OBCRASH_INVALID_ARGUMENT;

    const ob_vm_off_t augmentation = position;
    uint8_t c;
    if ((err = obcrash_async_mobject_read_uint8(mobj, address, position++, &c)) != OBCRASH_OK) return err;
    if (c == 'z') {
        info->has_eh_augmentation = true;
    } else if (c != 0) {
        return OBCRASH_NOT_SUPPORTED;
    }
    while (c != 0) {
        if ((err = obcrash_async_mobject_read_uint8(mobj, address, position++, &c)) != OBCRASH_OK) return err;
    }

    if (info->cie_version == 4) {
        if ((err = obcrash_async_mobject_read_uint8(mobj, address, position++, &info->address_size)) != OBCRASH_OK)
            return err;
        if ((err = obcrash_async_mobject_read_uint8(mobj, address, position++, &info->segment_size)) != OBCRASH_OK)
            return err;
    }

    ob_vm_size_t size;
    if ((err = obcrash_async_dwarf_read_uleb128(mobj, address, position, &info->code_alignment_factor, &size)) !=
        OBCRASH_OK)
        return err;
    position += static_cast<ob_vm_off_t>(size);
    if ((err = obcrash_async_dwarf_read_sleb128(mobj, address, position, &info->data_alignment_factor, &size)) !=
        OBCRASH_OK)
        return err;
    position += static_cast<ob_vm_off_t>(size);
    if ((err = obcrash_async_dwarf_read_uleb128(mobj, address, position, &info->return_address_register, &size)) !=
        OBCRASH_OK)
        return err;
    position += static_cast<ob_vm_off_t>(size);

    if (info->has_eh_augmentation) {
        uint64_t data_length;
        if ((err = obcrash_async_dwarf_read_uleb128(mobj, address, position, &data_length, &size)) != OBCRASH_OK)
            return err;
        position += static_cast<ob_vm_off_t>(size);
        ob_vm_off_t data = position;
        if (!detail::advance(&position, data_length)) return OBCRASH_INVALID_ARGUMENT;

        for (ob_vm_off_t letter = augmentation + 1;; ++letter) {
            if ((err = obcrash_async_mobject_read_uint8(mobj, address, letter, &c)) != OBCRASH_OK) return err;
            if (c == 'L') {
                if ((err = obcrash_async_mobject_read_uint8(mobj, address, data++, &info->lsda_encoding)) != OBCRASH_OK)
                    return err;
                info->has_lsda_encoding = true;
            } else if (c == 'P') {
                uint8_t encoding;
                if ((err = obcrash_async_mobject_read_uint8(mobj, address, data++, &encoding)) != OBCRASH_OK)
                    return err;
                T personality;
                if ((err = ptr_reader->read(mobj, address, data, encoding, &personality, &size)) != OBCRASH_OK)
                    return err;
                info->personality_address = personality;
                info->has_personality_address = true;
                data += static_cast<ob_vm_off_t>(size);
            } else if (c == 'R') {
                if ((err = obcrash_async_mobject_read_uint8(mobj, address, data++, &info->pointer_encoding)) !=
                    OBCRASH_OK)
                    return err;
                info->has_pointer_encoding = true;
            } else if (c == 'S') {
                info->signal_frame = true;
            } else {
                break;  // the terminating NUL, or a letter this reader does not know
            }
        }
    }

    info->initial_instructions_offset = address - section_base + static_cast<uint64_t>(position);
    const uint64_t consumed = static_cast<uint64_t>(position - header);
    if (info->cie_length < consumed) return OBCRASH_INVALID_ARGUMENT;
    info->initial_instructions_length = info->cie_length - consumed;
    return OBCRASH_OK;
}

template <typename T>
obcrash_error_t obcrash_async_dwarf_fde_info_init(obcrash_async_dwarf_fde_info_t* info,
                                                  const obcrash_async_mobject_t* mobj,
                                                  const obcrash_async_byteorder_t* byteorder, ob_vm_address_t address,
                                                  bool debug_frame) {
    obcrash_async_memset(info, 0, sizeof(*info));
    const ob_vm_address_t section_base = obcrash_async_mobject_base_address(mobj);
    obcrash_error_t err;

    uint32_t length32;
    if (obcrash_async_mobject_read_uint32(mobj, byteorder, address, 0, &length32) != OBCRASH_OK)
        return OBCRASH_INVALID_ARGUMENT;
    const bool format64 = length32 == 0xFFFFFFFFu;
    const ob_vm_off_t header = format64 ? 12 : 4;
    if (format64) {
        if ((err = obcrash_async_mobject_read_uint64(mobj, byteorder, address, 4, &info->fde_length)) != OBCRASH_OK)
            return err;
    } else {
        info->fde_length = length32;
    }
    info->fde_offset = address - section_base + static_cast<uint64_t>(header);

    uint64_t cie_pointer;
    if ((err = obcrash_async_dwarf_read_uintmax64<uint64_t>(mobj, byteorder, address, header, format64 ? 8 : 4,
                                                            &cie_pointer)) != OBCRASH_OK)
        return err;
    ob_vm_address_t cie_address;
    if (debug_frame) {
        if (static_cast<int64_t>(cie_pointer) < 0) return OBCRASH_INVALID_ARGUMENT;
        if (!obcrash_async_address_apply_offset(section_base, static_cast<ob_vm_off_t>(cie_pointer), &cie_address))
            return OBCRASH_INVALID_ARGUMENT;
        info->cie_offset = cie_pointer;
    } else {
        ob_vm_address_t field;
        if (!obcrash_async_address_apply_offset(address, header, &field)) return OBCRASH_INVALID_ARGUMENT;
        if (cie_pointer > field) return OBCRASH_INVALID_ARGUMENT;
        cie_address = field - cie_pointer;
        info->cie_offset = cie_address - section_base;
    }

    const gnu_ehptr_reader<T> ptr_reader(byteorder);
    obcrash_async_dwarf_cie_info_t cie;
    if ((err = obcrash_async_dwarf_cie_info_init<T>(&cie, mobj, byteorder, &ptr_reader, cie_address)) != OBCRASH_OK)
        return err;
    const uint8_t encoding = cie.has_eh_augmentation && cie.has_pointer_encoding ? cie.pointer_encoding : 0;
    const bool has_augmentation_data = cie.has_eh_augmentation;
    obcrash_async_dwarf_cie_info_free(&cie);

    ob_vm_off_t position = header + (format64 ? 8 : 4);
    T pc_start, range;
    ob_vm_size_t size;
    if ((err = ptr_reader.read(mobj, address, position, encoding, &pc_start, &size)) != OBCRASH_OK) return err;
    position += static_cast<ob_vm_off_t>(size);
    if ((err = ptr_reader.read(mobj, address, position, encoding & 0x0F, &range, &size)) != OBCRASH_OK) return err;
    position += static_cast<ob_vm_off_t>(size);
    uint64_t pc_end;
    if (__builtin_add_overflow(static_cast<uint64_t>(pc_start), static_cast<uint64_t>(range), &pc_end))
        return OBCRASH_INVALID_ARGUMENT;
    info->pc_start = pc_start;
    info->pc_end = pc_end;

    if (has_augmentation_data) {
        uint64_t data_length;
        if ((err = obcrash_async_dwarf_read_uleb128(mobj, address, position, &data_length, &size)) != OBCRASH_OK)
            return err;
        position += static_cast<ob_vm_off_t>(size);
        if (!detail::advance(&position, data_length)) return OBCRASH_INVALID_ARGUMENT;
    }

    info->instructions_offset = address - section_base + static_cast<uint64_t>(position);
    const uint64_t consumed = static_cast<uint64_t>(position - header);
    if (info->fde_length < consumed) return OBCRASH_INVALID_ARGUMENT;
    info->instructions_length = info->fde_length - consumed;
    return OBCRASH_OK;
}

/* Finds FDEs in one mapped call-frame section. */
class dwarf_frame_reader {
public:
    obcrash_error_t init(const obcrash_async_mobject_t* mobj, const obcrash_async_byteorder_t* byteorder, bool m64,
                         bool debug_frame) {
        mobj_ = mobj;
        byteorder_ = byteorder;
        m64_ = m64;
        debug_frame_ = debug_frame;
        return OBCRASH_OK;
    }

    /* A linear walk from `offset`: the section has no index, and the first covering FDE wins. */
    obcrash_error_t find_fde(ob_vm_off_t offset, ob_vm_address_t pc, obcrash_async_dwarf_fde_info_t* fde_info) const {
        const ob_vm_address_t base = obcrash_async_mobject_base_address(mobj_);
        const ob_vm_address_t end = base + obcrash_async_mobject_length(mobj_);
        ob_vm_address_t entry;
        if (!obcrash_async_address_apply_offset(base, offset, &entry)) return OBCRASH_INVALID_ARGUMENT;
        if (entry >= end) return OBCRASH_INVALID_ARGUMENT;

        while (entry < end) {
            uint32_t length32;
            if (obcrash_async_mobject_read_uint32(mobj_, byteorder_, entry, 0, &length32) != OBCRASH_OK)
                return OBCRASH_INVALID_ARGUMENT;
            const bool format64 = length32 == 0xFFFFFFFFu;
            uint64_t length = length32;
            if (format64 && obcrash_async_mobject_read_uint64(mobj_, byteorder_, entry, 4, &length) != OBCRASH_OK)
                return OBCRASH_INVALID_ARGUMENT;
            if (length == 0) return OBCRASH_NOT_FOUND;
            const uint64_t header = format64 ? 12 : 4;
            ob_vm_address_t next;
            if (__builtin_add_overflow(entry, header, &next) || __builtin_add_overflow(next, length, &next))
                return OBCRASH_INVALID_ARGUMENT;

            uint64_t id;
            if (obcrash_async_dwarf_read_uintmax64<uint64_t>(mobj_, byteorder_, entry, static_cast<ob_vm_off_t>(header),
                                                             format64 ? 8 : 4, &id) != OBCRASH_OK)
                return OBCRASH_INVALID_ARGUMENT;
            const bool is_cie = debug_frame_ ? id == (format64 ? UINT64_MAX : 0xFFFFFFFFu) : id == 0;
            if (!is_cie) {
                const obcrash_error_t err =
                    m64_
                        ? obcrash_async_dwarf_fde_info_init<uint64_t>(fde_info, mobj_, byteorder_, entry, debug_frame_)
                        : obcrash_async_dwarf_fde_info_init<uint32_t>(fde_info, mobj_, byteorder_, entry, debug_frame_);
                if (err != OBCRASH_OK) return err;
                if (fde_info->pc_start <= pc && pc < fde_info->pc_end) return OBCRASH_OK;
                obcrash_async_dwarf_fde_info_free(fde_info);
            }
            entry = next;
        }
        return OBCRASH_NOT_FOUND;
    }

private:
    const obcrash_async_mobject_t* mobj_ = nullptr;
    const obcrash_async_byteorder_t* byteorder_ = nullptr;
    bool m64_ = false;
    bool debug_frame_ = false;
};

}  // namespace obcrash::OB::async
