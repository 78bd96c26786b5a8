#pragma once
// Readers shared by the call-frame parser, the CFA program evaluator and the expression evaluator:
// LEB128 numbers, fixed-width integers of either byte order, encoded pointers and a cursor over a
// byte range. Every read goes through a memory object, so hostile data can never be read past its
// mapping. Templates over the target's address type: one algorithm for 32- and 64-bit images.
// Everything here is async-signal-safe.
#include <stdint.h>
#include <unistd.h>

#include <type_traits>

#include "crashreporter/OBCrashAsync.h"
#include "crashreporter/OBCrashAsyncByteOrder.h"
#include "crashreporter/OBCrashAsyncMObject.h"

namespace obcrash::OB::async {

namespace detail {

template <bool Signed, typename Read>
obcrash_error_t read_leb128(Read readByte, uint64_t* result, ob_vm_size_t* size) {
    uint64_t value = 0;
    unsigned shift = 0;
    for (ob_vm_off_t i = 0; i < 10; ++i) {
        uint8_t byte;
        if (!readByte(i, &byte)) return OBCRASH_INVALID_ARGUMENT;
        value |= static_cast<uint64_t>(byte & 0x7F) << (shift % 64);
        if ((byte & 0x80) == 0) {
            if (Signed && (byte & 0x40) != 0 && shift < 57) value |= ~uint64_t{0} << (shift + 7);
            *result = value;
            *size = static_cast<ob_vm_size_t>(i + 1);
            return OBCRASH_OK;
        }
        shift += 7;
    }
    return OBCRASH_NOT_SUPPORTED;
}

template <bool Signed>
obcrash_error_t read_mobject_leb128(const obcrash_async_mobject_t* mobj, ob_vm_address_t location, ob_vm_off_t offset,
                                    uint64_t* result, ob_vm_size_t* size) {
    auto readByte = [&](ob_vm_off_t i, uint8_t* byte) {
        ob_vm_off_t at;
        if (__builtin_add_overflow(offset, i, &at)) return false;
        return obcrash_async_mobject_read_uint8(mobj, location, at, byte) == OBCRASH_OK;
    };
    return read_leb128<Signed>(readByte, result, size);
}

template <bool Signed>
obcrash_error_t read_task_leb128(ob_task_t task, ob_vm_address_t location, ob_vm_off_t offset, uint64_t* result,
                                 ob_vm_size_t* size) {
    ob_vm_address_t start;
    if (!obcrash_async_address_apply_offset(location, offset, &start)) return OBCRASH_INVALID_ARGUMENT;
    obcrash_async_mobject_t mobj;
    const obcrash_error_t mapped =
        obcrash_async_mobject_init(&mobj, task, start, static_cast<ob_vm_size_t>(getpagesize()), false);
    if (mapped != OBCRASH_OK) return mapped;
    const obcrash_error_t read = read_mobject_leb128<Signed>(&mobj, start, 0, result, size);
    obcrash_async_mobject_free(&mobj);
    return read;
}

}  // namespace detail

inline obcrash_error_t obcrash_async_dwarf_read_uleb128(const obcrash_async_mobject_t* mobj, ob_vm_address_t location,
                                                        ob_vm_off_t offset, uint64_t* result, ob_vm_size_t* size) {
    return detail::read_mobject_leb128<false>(mobj, location, offset, result, size);
}

inline obcrash_error_t obcrash_async_dwarf_read_sleb128(const obcrash_async_mobject_t* mobj, ob_vm_address_t location,
                                                        ob_vm_off_t offset, int64_t* result, ob_vm_size_t* size) {
    uint64_t value;
    const obcrash_error_t err = detail::read_mobject_leb128<true>(mobj, location, offset, &value, size);
    if (err == OBCRASH_OK) *result = static_cast<int64_t>(value);
    return err;
}

inline obcrash_error_t obcrash_async_dwarf_read_task_uleb128(ob_task_t task, ob_vm_address_t location,
                                                             ob_vm_off_t offset, uint64_t* result, ob_vm_size_t* size) {
    return detail::read_task_leb128<false>(task, location, offset, result, size);
}

inline obcrash_error_t obcrash_async_dwarf_read_task_sleb128(ob_task_t task, ob_vm_address_t location,
                                                             ob_vm_off_t offset, int64_t* result, ob_vm_size_t* size) {
    uint64_t value;
    const obcrash_error_t err = detail::read_task_leb128<true>(task, location, offset, &value, size);
    if (err == OBCRASH_OK) *result = static_cast<int64_t>(value);
    return err;
}

/* An unsigned integer of 1, 2, 4 or 8 bytes, stored into a T (a 64-bit value is cut in the 32-bit
 * instance). */
template <typename T>
obcrash_error_t obcrash_async_dwarf_read_uintmax64(const obcrash_async_mobject_t* mobj,
                                                   const obcrash_async_byteorder_t* byteorder, ob_vm_address_t location,
                                                   ob_vm_off_t offset, uint8_t size, T* result) {
    obcrash_error_t err = OBCRASH_INVALID_ARGUMENT;
    switch (size) {
    case 1: {
        uint8_t v;
        if ((err = obcrash_async_mobject_read_uint8(mobj, location, offset, &v)) == OBCRASH_OK)
            *result = static_cast<T>(v);
        break;
    }
    case 2: {
        uint16_t v;
        if ((err = obcrash_async_mobject_read_uint16(mobj, byteorder, location, offset, &v)) == OBCRASH_OK)
            *result = static_cast<T>(v);
        break;
    }
    case 4: {
        uint32_t v;
        if ((err = obcrash_async_mobject_read_uint32(mobj, byteorder, location, offset, &v)) == OBCRASH_OK)
            *result = static_cast<T>(v);
        break;
    }
    case 8: {
        uint64_t v;
        if ((err = obcrash_async_mobject_read_uint64(mobj, byteorder, location, offset, &v)) == OBCRASH_OK)
            *result = static_cast<T>(v);
        break;
    }
    default: break;
    }
    return err == OBCRASH_OK ? OBCRASH_OK : OBCRASH_INVALID_ARGUMENT;
}

template <typename T>
obcrash_error_t obcrash_async_dwarf_read_task_uintmax64(ob_task_t task, const obcrash_async_byteorder_t* byteorder,
                                                        ob_vm_address_t location, ob_vm_off_t offset, uint8_t size,
                                                        T* result) {
    obcrash_error_t err;
    switch (size) {
    case 1: {
        uint8_t v;
        if ((err = obcrash_async_task_read_uint8(task, location, offset, &v)) == OBCRASH_OK)
            *result = static_cast<T>(v);
        return err;
    }
    case 2: {
        uint16_t v;
        if ((err = obcrash_async_task_read_uint16(task, byteorder, location, offset, &v)) == OBCRASH_OK)
            *result = static_cast<T>(v);
        return err;
    }
    case 4: {
        uint32_t v;
        if ((err = obcrash_async_task_read_uint32(task, byteorder, location, offset, &v)) == OBCRASH_OK)
            *result = static_cast<T>(v);
        return err;
    }
    case 8: {
        uint64_t v;
        if ((err = obcrash_async_task_read_uint64(task, byteorder, location, offset, &v)) == OBCRASH_OK)
            *result = static_cast<T>(v);
        return err;
    }
    default: return OBCRASH_INVALID_ARGUMENT;
    }
}

enum : uint8_t {
    DW_EH_PE_omit = 0xFF,
    DW_EH_PE_indirect = 0x80,
    DW_EH_PE_absptr = 0x00,
    DW_EH_PE_uleb128 = 0x01,
    DW_EH_PE_udata2 = 0x02,
    DW_EH_PE_udata4 = 0x03,
    DW_EH_PE_udata8 = 0x04,
    DW_EH_PE_sleb128 = 0x09,
    DW_EH_PE_sdata2 = 0x0A,
    DW_EH_PE_sdata4 = 0x0B,
    DW_EH_PE_sdata8 = 0x0C,
    DW_EH_PE_pcrel = 0x10,
    DW_EH_PE_textrel = 0x20,
    DW_EH_PE_datarel = 0x30,
    DW_EH_PE_funcrel = 0x40,
    DW_EH_PE_aligned = 0x50,
};

/* Decodes GNU encoded pointers. Relative forms other than pc-relative need a base that the caller
 * sets; without it they are refused. */
template <typename T>
class gnu_ehptr_reader {
    static_assert(std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t>);

public:
    explicit gnu_ehptr_reader(const obcrash_async_byteorder_t* byteorder) : byteorder_(byteorder) {}

    void set_frame_section_base(ob_vm_address_t base, ob_vm_address_t vm_address) {
        frame_section_base_ = base;
        frame_section_vm_address_ = vm_address;
        frame_section_set_ = true;
    }
    void set_text_base(ob_vm_address_t base) { text_base_ = {base, true}; }
    void set_data_base(ob_vm_address_t base) { data_base_ = {base, true}; }
    void set_func_base(ob_vm_address_t base) { func_base_ = {base, true}; }

    const obcrash_async_byteorder_t* byteorder() const { return byteorder_; }

    obcrash_error_t read(const obcrash_async_mobject_t* mobj, ob_vm_address_t location, ob_vm_off_t offset,
                         uint8_t encoding, T* result, ob_vm_size_t* size) const {
        if (encoding == DW_EH_PE_omit) return OBCRASH_NOT_FOUND;
        *size = 0;
        T base = 0;
        ob_vm_off_t padding = 0;
        switch (encoding & 0x70) {
        case DW_EH_PE_absptr: break;
        case DW_EH_PE_pcrel: {
            ob_vm_address_t position;
            if (!obcrash_async_address_apply_offset(location, offset, &position)) return OBCRASH_INVALID_ARGUMENT;
            base = static_cast<T>(position);
            break;
        }
        case DW_EH_PE_textrel:
            if (!text_base_.set) return OBCRASH_NOT_SUPPORTED;
            base = static_cast<T>(text_base_.value);
            break;
        case DW_EH_PE_datarel:
            if (!data_base_.set) return OBCRASH_NOT_SUPPORTED;
            base = static_cast<T>(data_base_.value);
            break;
        case DW_EH_PE_funcrel:
            if (!func_base_.set) return OBCRASH_NOT_SUPPORTED;
            base = static_cast<T>(func_base_.value);
            break;
        case DW_EH_PE_aligned: {
            if (!frame_section_set_) return OBCRASH_NOT_SUPPORTED;
            ob_vm_address_t position;
            if (!obcrash_async_address_apply_offset(location, offset, &position)) return OBCRASH_INVALID_ARGUMENT;
            const ob_vm_address_t vm = frame_section_vm_address_ + (position - frame_section_base_);
            padding = static_cast<ob_vm_off_t>((sizeof(T) - vm % sizeof(T)) % sizeof(T));
            break;
        }
        default: return OBCRASH_NOT_SUPPORTED;
        }
        ob_vm_off_t at;
        if (__builtin_add_overflow(offset, padding, &at)) return OBCRASH_INVALID_ARGUMENT;

        T value = 0;
        ob_vm_size_t width = 0;
        obcrash_error_t err;
        switch (encoding & 0x0F) {
        case DW_EH_PE_absptr:
            width = sizeof(T);
            err = obcrash_async_dwarf_read_uintmax64<T>(mobj, byteorder_, location, at, sizeof(T), &value);
            break;
        case DW_EH_PE_uleb128: {
            uint64_t v = 0;
            err = obcrash_async_dwarf_read_uleb128(mobj, location, at, &v, &width);
            value = static_cast<T>(v);
            break;
        }
        case DW_EH_PE_udata2:
        case DW_EH_PE_udata4:
        case DW_EH_PE_udata8: {
            width = (encoding & 0x0F) == DW_EH_PE_udata2 ? 2 : (encoding & 0x0F) == DW_EH_PE_udata4 ? 4 : 8;
            err = obcrash_async_dwarf_read_uintmax64<T>(mobj, byteorder_, location, at, static_cast<uint8_t>(width),
                                                        &value);
            break;
        }
        case DW_EH_PE_sleb128: {
            int64_t v = 0;
            err = obcrash_async_dwarf_read_sleb128(mobj, location, at, &v, &width);
            value = static_cast<T>(v);
            break;
        }
        case DW_EH_PE_sdata2: {
            uint64_t v = 0;
            width = 2;
            err = obcrash_async_dwarf_read_uintmax64<uint64_t>(mobj, byteorder_, location, at, 2, &v);
            value = static_cast<T>(static_cast<int64_t>(static_cast<int16_t>(v)));
            break;
        }
        case DW_EH_PE_sdata4: {
            uint64_t v = 0;
            width = 4;
            err = obcrash_async_dwarf_read_uintmax64<uint64_t>(mobj, byteorder_, location, at, 4, &v);
            value = static_cast<T>(static_cast<int64_t>(static_cast<int32_t>(v)));
            break;
        }
        case DW_EH_PE_sdata8: {
            width = 8;
            err = obcrash_async_dwarf_read_uintmax64<T>(mobj, byteorder_, location, at, 8, &value);
            break;
        }
        default: return OBCRASH_NOT_SUPPORTED;
        }
        if (err != OBCRASH_OK) return err;

        T pointer = static_cast<T>(base + value);
        if ((encoding & DW_EH_PE_indirect) != 0) {
            err = obcrash_async_dwarf_read_task_uintmax64<T>(obcrash_async_mobject_task(mobj), byteorder_, pointer, 0,
                                                             sizeof(T), &pointer);
            if (err != OBCRASH_OK) return err;
        }
        *result = pointer;
        *size = static_cast<ob_vm_size_t>(padding) + width;
        return OBCRASH_OK;
    }

private:
    struct Base {
        ob_vm_address_t value = 0;
        bool set = false;
    };
    const obcrash_async_byteorder_t* byteorder_;
    ob_vm_address_t frame_section_base_ = 0;
    ob_vm_address_t frame_section_vm_address_ = 0;
    bool frame_section_set_ = false;
    Base text_base_;
    Base data_base_;
    Base func_base_;
};

/* A cursor over a byte range of a memory object: CFA programs and expressions are read with it. */
class dwarf_opstream {
public:
    obcrash_error_t init(const obcrash_async_mobject_t* mobj, const obcrash_async_byteorder_t* byteorder,
                         ob_vm_address_t address, ob_vm_off_t offset, ob_vm_off_t length) {
        ob_vm_address_t start, end;
        if (length < 0) return OBCRASH_INVALID_ARGUMENT;
        if (!obcrash_async_address_apply_offset(address, offset, &start)) return OBCRASH_INVALID_ARGUMENT;
        if (!obcrash_async_address_apply_offset(start, length, &end)) return OBCRASH_INVALID_ARGUMENT;
        const void* local = obcrash_async_mobject_remap_address(mobj, start, 0, static_cast<ob_vm_size_t>(length));
        if (local == nullptr) return OBCRASH_INVALID_ARGUMENT;
        mobj_ = mobj;
        byteorder_ = byteorder;
        start_address_ = start;
        end_address_ = end;
        start_ = static_cast<const uint8_t*>(local);
        length_ = static_cast<uint64_t>(length);
        position_ = 0;
        return OBCRASH_OK;
    }

    template <typename U>
    bool read_intU(U* out) {
        static_assert(std::is_integral_v<U> && (sizeof(U) == 1 || sizeof(U) == 2 || sizeof(U) == 4 || sizeof(U) == 8));
        if (length_ - position_ < sizeof(U)) return false;
        using Unsigned = std::make_unsigned_t<U>;
        Unsigned raw = 0;
        for (size_t i = 0; i < sizeof(U); ++i) {
            reinterpret_cast<uint8_t*>(&raw)[i] = start_[position_ + i];
        }
        if constexpr (sizeof(U) == 2) raw = byteorder_->swap16(raw);
        if constexpr (sizeof(U) == 4) raw = byteorder_->swap32(raw);
        if constexpr (sizeof(U) == 8) raw = byteorder_->swap64(raw);
        *out = static_cast<U>(raw);
        position_ += sizeof(U);
        return true;
    }

    bool read_uleb128(uint64_t* out) {
        ob_vm_size_t size;
        if (obcrash_async_dwarf_read_uleb128(mobj_, start_address_, static_cast<ob_vm_off_t>(position_), out, &size) !=
            OBCRASH_OK)
            return false;
        return skip(static_cast<ob_vm_off_t>(size));
    }

    bool read_sleb128(int64_t* out) {
        ob_vm_size_t size;
        if (obcrash_async_dwarf_read_sleb128(mobj_, start_address_, static_cast<ob_vm_off_t>(position_), out, &size) !=
            OBCRASH_OK)
            return false;
        return skip(static_cast<ob_vm_off_t>(size));
    }

    template <typename T>
    bool read_gnueh_ptr(const gnu_ehptr_reader<T>* ptr_reader, uint8_t encoding, T* out) {
        ob_vm_size_t size;
        T value;
        if (ptr_reader->read(mobj_, start_address_, static_cast<ob_vm_off_t>(position_), encoding, &value, &size) !=
            OBCRASH_OK)
            return false;
        if (!skip(static_cast<ob_vm_off_t>(size))) return false;
        *out = value;
        return true;
    }

    bool skip(ob_vm_off_t n) {
        if (n < 0) {
            if (static_cast<uint64_t>(-(n + 1)) + 1 > position_) return false;
            position_ -= static_cast<uint64_t>(-(n + 1)) + 1;
            return true;
        }
        if (static_cast<uint64_t>(n) > length_ - position_) return false;
        position_ += static_cast<uint64_t>(n);
        return true;
    }

    uint64_t get_position() const { return position_; }
    bool at_end() const { return position_ == length_; }
    /* The task address of the range's first byte. */
    ob_vm_address_t get_start_address() const { return start_address_; }

private:
    const obcrash_async_mobject_t* mobj_ = nullptr;
    const obcrash_async_byteorder_t* byteorder_ = nullptr;
    ob_vm_address_t start_address_ = 0;
    ob_vm_address_t end_address_ = 0;
    const uint8_t* start_ = nullptr;
    uint64_t length_ = 0;
    uint64_t position_ = 0;
};

}  // namespace obcrash::OB::async
