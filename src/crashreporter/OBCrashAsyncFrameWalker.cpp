#include "OBCrashAsyncFrameWalker.h"

#include <unistd.h>

#include "OBCrashAsyncCompactUnwind.h"
#include "OBCrashAsyncDwarfCFAState.hpp"
#include "OBCrashAsyncThreads.h"

using namespace obcrash::OB::async;

namespace {

constexpr uint32_t kPcRegister = 0;
constexpr uint32_t kFpRegister = 1;
constexpr uint32_t kCpuArchAbi64 = 0x01000000;

/* Where to look up the function of `current`. A caller's pc is a return address, which belongs to
 * the next function when the call was its function's last instruction (calls to abort and other
 * functions that never return); one byte back lies inside the call. The first frame, and a frame a
 * signal interrupted, stopped at the instruction itself. */
ob_vm_address_t lookup_pc(const obcrash_async_thread_state_t* current, const obcrash_async_thread_state_t* previous) {
    const ob_vm_address_t pc = obcrash_async_thread_state_get_reg(current, kPcRegister);
    if (previous == nullptr || current->pc_exact) return pc;
    return pc - 1;
}

/* Holds an image list's reading mark for one scope. */
class ReadingMark {
public:
    explicit ReadingMark(obcrash_async_image_list_t* list) : list_(list) {
        obcrash_async_image_list_set_reading(list_, true);
    }
    ~ReadingMark() { obcrash_async_image_list_set_reading(list_, false); }
    ReadingMark(const ReadingMark&) = delete;
    ReadingMark& operator=(const ReadingMark&) = delete;

private:
    obcrash_async_image_list_t* list_;
};

/* A section mapping freed with its scope. */
class SectionMapping {
public:
    obcrash_error_t map(const obcrash_async_image_t* image, const char* segname, const char* sectname) {
        const obcrash_error_t err = obcrash_async_image_map_section(image, segname, sectname, &mobj_);
        mapped_ = err == OBCRASH_OK;
        return err;
    }
    ~SectionMapping() {
        if (mapped_) obcrash_async_mobject_free(&mobj_);
    }
    obcrash_async_mobject_t* get() { return &mobj_; }

private:
    obcrash_async_mobject_t mobj_{};
    bool mapped_ = false;
};

bool image_is_64(const obcrash_async_image_t* image) {
    if (image->kind == OBCRASH_IMAGE_MACHO) return image->macho.m64;
    return (obcrash_async_image_cpu_type(image) & kCpuArchAbi64) != 0;
}

/* Unwind data describes its own architecture's registers: applied to another's thread state it
 * would read and write the wrong registers. */
bool image_fits_thread(const obcrash_async_image_t* image, const obcrash_async_thread_state_t* state) {
    return obcrash_async_image_cpu_type(image) == state->cpu_type;
}

const obcrash_async_byteorder_t* image_byteorder(const obcrash_async_image_t* image) {
    if (image->kind == OBCRASH_IMAGE_MACHO) return image->macho.byteorder;
    return obcrash_async_byteorder_little_endian();
}

template <typename T>
obframe_error_t apply_dwarf(ob_task_t task, const obcrash_async_mobject_t* mobj,
                            const obcrash_async_byteorder_t* byteorder, bool debug_frame, T pc,
                            const obcrash_async_thread_state_t* current, obcrash_async_thread_state_t* next) {
    dwarf_frame_reader reader;
    if (reader.init(mobj, byteorder, sizeof(T) == 8, debug_frame) != OBCRASH_OK) return OBFRAME_EINVAL;

    obcrash_async_dwarf_fde_info_t fde;
    if (reader.find_fde(0, pc, &fde) != OBCRASH_OK) return OBFRAME_ENOTSUP;
    struct FdeGuard {
        obcrash_async_dwarf_fde_info_t* fde;
        ~FdeGuard() { obcrash_async_dwarf_fde_info_free(fde); }
    } fdeGuard{&fde};

    const ob_vm_address_t base = obcrash_async_mobject_base_address(mobj);
    gnu_ehptr_reader<T> ptr_reader(byteorder);
    obcrash_async_dwarf_cie_info_t cie;
    if (obcrash_async_dwarf_cie_info_init<T>(&cie, mobj, byteorder, &ptr_reader, base + fde.cie_offset) != OBCRASH_OK)
        return OBFRAME_ENOTSUP;
    struct CieGuard {
        obcrash_async_dwarf_cie_info_t* cie;
        ~CieGuard() { obcrash_async_dwarf_cie_info_free(cie); }
    } cieGuard{&cie};

    dwarf_cfa_state<T> cfa_state;
    const T start = static_cast<T>(fde.pc_start);
    if (cfa_state.eval_program(mobj, pc, start, &cie, &ptr_reader, byteorder, base, cie.initial_instructions_offset,
                               static_cast<ob_vm_off_t>(cie.initial_instructions_length)) != OBCRASH_OK)
        return OBFRAME_ENOTSUP;
    if (cfa_state.eval_program(mobj, pc, start, &cie, &ptr_reader, byteorder, base, fde.instructions_offset,
                               static_cast<ob_vm_off_t>(fde.instructions_length)) != OBCRASH_OK)
        return OBFRAME_ENOTSUP;

    if (cfa_state.apply_state(task, &cie, current, byteorder, next) != OBCRASH_OK) return OBFRAME_ENOFRAME;
    // Unwinding a signal frame yields the interrupted instruction, not a return address.
    next->pc_exact = cie.signal_frame;
    return OBFRAME_ESUCCESS;
}

const obframe_cursor_frame_reader_t kDefaultReaders[] = {
    obframe_cursor_read_compact_unwind,
    obframe_cursor_read_dwarf_unwind,
    obframe_cursor_read_frame_ptr,
};

}  // namespace

extern "C" {

const char* obframe_strerror(obframe_error_t error) {
    switch (error) {
    case OBFRAME_ESUCCESS: return "No error";
    case OBFRAME_EUNKNOWN: return "Unknown error";
    case OBFRAME_ENOFRAME: return "No frames are available";
    case OBFRAME_EBADFRAME: return "Corrupted frame";
    case OBFRAME_ENOTSUP: return "Operation not supported";
    case OBFRAME_EINVAL: return "Invalid argument";
    case OBFRAME_INTERNAL: return "Internal error";
    case OBFRAME_EBADREG: return "Invalid register";
    }
    return "Unhandled error code";
}

obframe_error_t obframe_cursor_init(obframe_cursor_t* cursor, ob_task_t task,
                                    const obcrash_async_thread_state_t* thread_state,
                                    obcrash_async_image_list_t* image_list) {
    obcrash_async_memset(cursor, 0, sizeof(*cursor));
    // A task here is a process id: it holds no reference that would need counting.
    cursor->task = task;
    cursor->image_list = image_list;
    cursor->depth = 0;
    obcrash_async_thread_state_copy(&cursor->frame, thread_state);
    return OBFRAME_ESUCCESS;
}

obcrash_error_t obframe_cursor_thread_init(obframe_cursor_t* cursor, ob_task_t task, ob_thread_t thread,
                                           obcrash_async_image_list_t* image_list) {
    obcrash_async_thread_state_t state;
    const obcrash_error_t err = obcrash_async_thread_state_mach_thread_init(&state, thread);
    if (err != OBCRASH_OK) return err;
    obframe_cursor_init(cursor, task, &state, image_list);
    return OBCRASH_OK;
}

obframe_error_t obframe_cursor_next(obframe_cursor_t* cursor) {
    return obframe_cursor_next_with_readers(cursor, kDefaultReaders,
                                            sizeof(kDefaultReaders) / sizeof(kDefaultReaders[0]));
}

obframe_error_t obframe_cursor_next_with_readers(obframe_cursor_t* cursor, const obframe_cursor_frame_reader_t* readers,
                                                 size_t count) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return OBFRAME_ESUCCESS;
    }
    if (count == 0) return OBFRAME_EINVAL;

    const obcrash_async_thread_state_t* previous = cursor->depth == 1 ? nullptr : &cursor->prev_frame;
    obcrash_async_thread_state_t next;
    obframe_error_t err = OBFRAME_EUNKNOWN;
    for (size_t i = 0; i < count; ++i) {
        obcrash_async_memset(&next, 0, sizeof(next));
        err = readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, &next);
        if (err == OBFRAME_ESUCCESS) break;
    }
    if (err != OBFRAME_ESUCCESS) return err;

    if (!obcrash_async_thread_state_has_reg(&next, kPcRegister)) return OBFRAME_ENOFRAME;
    if (obcrash_async_thread_state_get_reg(&next, kPcRegister) <= static_cast<uint64_t>(getpagesize()))
        return OBFRAME_ENOFRAME;

    obcrash_async_thread_state_copy(&cursor->prev_frame, &cursor->frame);
    obcrash_async_thread_state_copy(&cursor->frame, &next);
    cursor->depth++;
    return OBFRAME_ESUCCESS;
}

obframe_error_t obframe_cursor_get_reg(const obframe_cursor_t* cursor, uint32_t regnum, uint64_t* value) {
    if (!obcrash_async_thread_state_has_reg(&cursor->frame, regnum)) return OBFRAME_ENOTSUP;
    *value = obcrash_async_thread_state_get_reg(&cursor->frame, regnum);
    return OBFRAME_ESUCCESS;
}

const char* obframe_cursor_get_regname(const obframe_cursor_t* cursor, uint32_t regnum) {
    return obcrash_async_thread_state_get_reg_name(&cursor->frame, regnum);
}

size_t obframe_cursor_get_regcount(const obframe_cursor_t* cursor) {
    return obcrash_async_thread_state_get_reg_count(&cursor->frame);
}

void obframe_cursor_free(obframe_cursor_t* cursor) { cursor->task = 0; }

obframe_error_t obframe_cursor_read_compact_unwind(ob_task_t task, obcrash_async_image_list_t* image_list,
                                                   const obcrash_async_thread_state_t* current,
                                                   const obcrash_async_thread_state_t* previous,
                                                   obcrash_async_thread_state_t* next) {
    if (!obcrash_async_thread_state_has_reg(current, kPcRegister)) return OBFRAME_EBADFRAME;
    if (obcrash_async_thread_state_get_reg(current, kPcRegister) == 0) return OBFRAME_ENOTSUP;
    const ob_vm_address_t pc = lookup_pc(current, previous);

    ReadingMark mark(image_list);
    const obcrash_async_image_t* image = obcrash_async_image_containing_address(image_list, pc);
    if (image == nullptr || !image_fits_thread(image, current)) return OBFRAME_ENOTSUP;
    SectionMapping section;
    if (section.map(image, "__TEXT", "__unwind_info") != OBCRASH_OK) return OBFRAME_ENOTSUP;

    const uint32_t cpu_type = obcrash_async_image_cpu_type(image);
    obcrash_async_cfe_reader_t reader;
    if (obcrash_async_cfe_reader_init(&reader, section.get(), cpu_type) != OBCRASH_OK) return OBFRAME_EINVAL;
    const ob_vm_address_t header = obcrash_async_image_header_addr(image);
    uint32_t function_offset = 0, encoding = 0;
    const obcrash_error_t found = pc - header > UINT32_MAX
                                      ? OBCRASH_NOT_FOUND
                                      : obcrash_async_cfe_reader_find_pc(&reader, static_cast<uint32_t>(pc - header),
                                                                         &function_offset, &encoding);
    obcrash_async_cfe_reader_free(&reader);
    if (found != OBCRASH_OK) return OBFRAME_ENOTSUP;

    obcrash_async_cfe_entry_t entry;
    if (obcrash_async_cfe_entry_init(&entry, cpu_type, encoding) != OBCRASH_OK) return OBFRAME_ENOTSUP;
    obframe_error_t result = OBFRAME_ESUCCESS;
    ob_vm_address_t function_address = 0;
    if (obcrash_async_cfe_entry_type(&entry) == OBCRASH_ASYNC_CFE_ENTRY_TYPE_NONE) {
        result = OBFRAME_ENOFRAME;
    } else if (!obcrash_async_address_apply_offset(header, function_offset, &function_address)) {
        result = OBFRAME_EINVAL;
    } else if (obcrash_async_cfe_entry_apply(task, function_address, current, &entry, next) != OBCRASH_OK) {
        result = OBFRAME_ENOFRAME;
    } else {
        next->pc_exact = false;
    }
    obcrash_async_cfe_entry_free(&entry);
    return result;
}

obframe_error_t obframe_cursor_read_dwarf_unwind(ob_task_t task, obcrash_async_image_list_t* image_list,
                                                 const obcrash_async_thread_state_t* current,
                                                 const obcrash_async_thread_state_t* previous,
                                                 obcrash_async_thread_state_t* next) {
    if (!obcrash_async_thread_state_has_reg(current, kPcRegister)) return OBFRAME_EBADFRAME;
    if (obcrash_async_thread_state_get_reg(current, kPcRegister) == 0) return OBFRAME_ENOTSUP;
    const ob_vm_address_t pc = lookup_pc(current, previous);

    ReadingMark mark(image_list);
    const obcrash_async_image_t* image = obcrash_async_image_containing_address(image_list, pc);
    if (image == nullptr || !image_fits_thread(image, current)) return OBFRAME_ENOTSUP;

    SectionMapping section;
    bool debug_frame = false;
    if (section.map(image, "__TEXT", "__eh_frame") != OBCRASH_OK) {
        if (section.map(image, "__DWARF", "__debug_frame") != OBCRASH_OK) return OBFRAME_ENOFRAME;
        debug_frame = true;
    }
    const obcrash_async_byteorder_t* byteorder = image_byteorder(image);
    if (image_is_64(image))
        return apply_dwarf<uint64_t>(task, section.get(), byteorder, debug_frame, pc, current, next);
    return apply_dwarf<uint32_t>(task, section.get(), byteorder, debug_frame, static_cast<uint32_t>(pc), current, next);
}

obframe_error_t obframe_cursor_read_frame_ptr(ob_task_t task, obcrash_async_image_list_t*,
                                              const obcrash_async_thread_state_t* current,
                                              const obcrash_async_thread_state_t* previous,
                                              obcrash_async_thread_state_t* next) {
    if (!obcrash_async_thread_state_has_reg(current, kFpRegister)) return OBFRAME_EBADFRAME;
    const uint64_t fp = obcrash_async_thread_state_get_reg(current, kFpRegister);
    if (fp == 0) return OBFRAME_ENOFRAME;

    // A chain must move against the stack's growth; one that turns back would loop or wander.
    if (previous != nullptr && obcrash_async_thread_state_has_reg(previous, kFpRegister)) {
        const uint64_t previous_fp = obcrash_async_thread_state_get_reg(previous, kFpRegister);
        const uint32_t direction = obcrash_async_thread_state_get_stack_direction(current);
        if (direction == OBCRASH_ASYNC_STACK_DIRECTION_DOWN && fp < previous_fp) return OBFRAME_EBADFRAME;
        if (direction == 1 && fp > previous_fp) return OBFRAME_EBADFRAME;
    }

    const uint64_t width = obcrash_async_thread_state_get_greg_size(current);
    uint64_t fp_new = 0, pc_new = 0;
    if (width == 8) {
        uint64_t words[2];
        if (obcrash_async_task_memcpy(task, fp, 0, words, sizeof(words)) != OBCRASH_OK) return OBFRAME_EBADFRAME;
        fp_new = words[0];
        pc_new = words[1];
    } else {
        uint32_t words[2];
        if (obcrash_async_task_memcpy(task, fp, 0, words, sizeof(words)) != OBCRASH_OK) return OBFRAME_EBADFRAME;
        fp_new = words[0];
        pc_new = words[1];
    }

    obcrash_async_thread_state_copy(next, current);
    obcrash_async_thread_state_clear_all_regs(next);
    obcrash_async_thread_state_set_reg(next, kFpRegister, fp_new);
    obcrash_async_thread_state_set_reg(next, kPcRegister, pc_new);
    next->pc_exact = false;
    return OBFRAME_ESUCCESS;
}

}  // extern "C"
