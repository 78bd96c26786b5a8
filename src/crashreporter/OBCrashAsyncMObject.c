#define _GNU_SOURCE
#include "OBCrashAsyncMObject.h"

#include <errno.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

static const obcrash_async_mobject_in_place_source_t* in_place_source;

void obcrash_nasync_mobject_set_in_place_source(const obcrash_async_mobject_in_place_source_t* source) {
    __atomic_store_n(&in_place_source, source, __ATOMIC_SEQ_CST);
}

/* Probe batches stay far below IOV_MAX and cost little stack. */
#define PROBE_BATCH 64

/* One byte of every page in [page_start, page_start + total) is readable right now. The image list
 * can lag behind an unload, and the loader reserves address space as unreadable pages, so a
 * listed segment alone does not prove that its pages can be read. */
static bool every_page_readable(ob_task_t task, ob_vm_address_t page_start, ob_vm_size_t total,
                                ob_vm_size_t page_size) {
    struct iovec local[1];
    struct iovec remote[PROBE_BATCH];
    char sink[PROBE_BATCH];
    local[0].iov_base = sink;
    ob_vm_size_t offset = 0;
    const int saved_errno = errno;
    bool readable = true;
    while (readable && offset < total) {
        size_t count = 0;
        for (; count < PROBE_BATCH && offset < total; ++count, offset += page_size) {
            remote[count].iov_base = (void*)(uintptr_t)(page_start + offset);
            remote[count].iov_len = 1;
        }
        local[0].iov_len = count;
        ssize_t n;
        do {
            n = process_vm_readv(task, local, 1, remote, count, 0);
        } while (n < 0 && errno == EINTR);
        readable = n == (ssize_t)count;
    }
    errno = saved_errno;
    return readable;
}

/* Copies as many whole pages as can be read from the start of the range. */
static ob_vm_size_t copy_readable_prefix(ob_task_t task, void* dest, ob_vm_address_t page_start, ob_vm_size_t total,
                                         ob_vm_size_t page_size) {
    ob_vm_size_t done = 0;
    const int saved_errno = errno;
    while (done < total) {
        struct iovec local = {(char*)dest + done, (size_t)(total - done)};
        struct iovec remote = {(void*)(uintptr_t)(page_start + done), (size_t)(total - done)};
        const ssize_t n = process_vm_readv(task, &local, 1, &remote, 1, 0);
        if (n > 0) {
            done += (ob_vm_size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    errno = saved_errno;
    return done - done % page_size;
}

static bool overlaps(uintptr_t a, ob_vm_size_t a_length, ob_vm_address_t b, ob_vm_size_t b_length) {
    return (ob_vm_address_t)a < b + b_length && b < (ob_vm_address_t)a + a_length;
}

/* Room for the copy anywhere but in the range being copied: the kernel may hand out the unmapped
 * part of that range, and the copy would then read its own fresh pages as if they were the
 * task's. While the first area blocks that place, a second one lands elsewhere. */
static void* map_copy_area(ob_vm_address_t page_start, ob_vm_size_t total) {
    void* area = mmap(NULL, (size_t)total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED || !overlaps((uintptr_t)area, total, page_start, total)) return area;
    void* other = mmap(NULL, (size_t)total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(area, (size_t)total);
    if (other != MAP_FAILED && overlaps((uintptr_t)other, total, page_start, total)) {
        munmap(other, (size_t)total);
        return MAP_FAILED;
    }
    return other;
}

static void fill_record(obcrash_async_mobject_t* mobj, ob_task_t task, ob_vm_address_t task_address,
                        ob_vm_size_t length, ob_vm_address_t page_start, uintptr_t vm_address, ob_vm_size_t vm_length,
                        bool in_place) {
    const ob_vm_size_t page_offset = task_address - page_start;
    const ob_vm_size_t available = vm_length - page_offset;
    mobj->task = task;
    mobj->vm_address = vm_address;
    mobj->vm_length = vm_length;
    mobj->address = vm_address + (uintptr_t)page_offset;
    mobj->length = length < available ? length : available;
    mobj->task_address = task_address;
    mobj->vm_slide = (int64_t)(task_address - (ob_vm_address_t)mobj->address);
    mobj->in_place = in_place;
}

obcrash_error_t obcrash_async_mobject_init(obcrash_async_mobject_t* mobj, ob_task_t task, ob_vm_address_t task_address,
                                           ob_vm_size_t length, bool require_full) {
    const ob_vm_size_t page_size = (ob_vm_size_t)getpagesize();
    const ob_vm_address_t page_start = task_address & ~(page_size - 1);
    ob_vm_address_t end;
    if (__builtin_add_overflow(task_address, length, &end)) return OBCRASH_NO_MEMORY;
    ob_vm_size_t total = end - page_start;
    if (total % page_size != 0) {
        if (__builtin_add_overflow(total, page_size - total % page_size, &total)) return OBCRASH_NO_MEMORY;
    }
    if (total == 0) return OBCRASH_NO_MEMORY;
    /* A range whose pages reach past the top of the address space cannot be mapped whole. */
    ob_vm_address_t last;
    if (__builtin_add_overflow(page_start, total - 1, &last)) return OBCRASH_NO_MEMORY;

    const obcrash_async_mobject_in_place_source_t* source = __atomic_load_n(&in_place_source, __ATOMIC_SEQ_CST);
    if (task == ob_mach_task_self() && source != NULL && length > 0 &&
        source->contains(source->context, task_address, length) &&
        every_page_readable(task, page_start, total, page_size)) {
        fill_record(mobj, task, task_address, length, page_start, (uintptr_t)page_start, total, true);
        return OBCRASH_OK;
    }

    void* copy = map_copy_area(page_start, total);
    if (copy == MAP_FAILED) return OBCRASH_INTERNAL;
    const ob_vm_size_t copied = copy_readable_prefix(task, copy, page_start, total, page_size);
    if (copied == 0 || (require_full && copied < total)) {
        munmap(copy, (size_t)total);
        return OBCRASH_NO_MEMORY;
    }
    /* The pages past the readable prefix are given back at once. */
    if (copied < total) munmap((char*)copy + copied, (size_t)(total - copied));
    mprotect(copy, (size_t)copied, PROT_READ);
    fill_record(mobj, task, task_address, length, page_start, (uintptr_t)copy, copied, false);
    return OBCRASH_OK;
}

ob_vm_address_t obcrash_async_mobject_base_address(const obcrash_async_mobject_t* mobj) { return mobj->task_address; }

ob_vm_size_t obcrash_async_mobject_length(const obcrash_async_mobject_t* mobj) { return mobj->length; }

ob_task_t obcrash_async_mobject_task(const obcrash_async_mobject_t* mobj) { return mobj->task; }

bool obcrash_async_mobject_verify_local_pointer(const obcrash_async_mobject_t* mobj, uintptr_t local_address,
                                                ob_vm_off_t offset, ob_vm_size_t length) {
    ob_vm_address_t p;
    if (!obcrash_async_address_apply_offset(local_address, offset, &p)) return false;
    if (p < mobj->address) return false;
    ob_vm_address_t end;
    if (__builtin_add_overflow(p, length, &end)) return false;
    return end <= (ob_vm_address_t)mobj->address + mobj->length;
}

void* obcrash_async_mobject_remap_address(const obcrash_async_mobject_t* mobj, ob_vm_address_t task_address,
                                          ob_vm_off_t offset, ob_vm_size_t length) {
    /* Unsigned wrap-around is intended: the slide may be negative. */
    const uintptr_t local = (uintptr_t)(task_address - (ob_vm_address_t)mobj->vm_slide);
    if (!obcrash_async_mobject_verify_local_pointer(mobj, local, offset, length)) return NULL;
    return (void*)(uintptr_t)(local + (uintptr_t)offset);
}

obcrash_error_t obcrash_async_mobject_read_uint8(const obcrash_async_mobject_t* mobj, ob_vm_address_t task_address,
                                                 ob_vm_off_t offset, uint8_t* result) {
    const uint8_t* p = obcrash_async_mobject_remap_address(mobj, task_address, offset, sizeof(*result));
    if (p == NULL) return OBCRASH_INVALID_ARGUMENT;
    *result = *p;
    return OBCRASH_OK;
}

obcrash_error_t obcrash_async_mobject_read_uint16(const obcrash_async_mobject_t* mobj,
                                                  const obcrash_async_byteorder_t* byteorder,
                                                  ob_vm_address_t task_address, ob_vm_off_t offset, uint16_t* result) {
    const void* p = obcrash_async_mobject_remap_address(mobj, task_address, offset, sizeof(*result));
    if (p == NULL) return OBCRASH_INVALID_ARGUMENT;
    uint16_t value;
    obcrash_async_memcpy(&value, p, sizeof(value));
    *result = byteorder->swap16(value);
    return OBCRASH_OK;
}

obcrash_error_t obcrash_async_mobject_read_uint32(const obcrash_async_mobject_t* mobj,
                                                  const obcrash_async_byteorder_t* byteorder,
                                                  ob_vm_address_t task_address, ob_vm_off_t offset, uint32_t* result) {
    const void* p = obcrash_async_mobject_remap_address(mobj, task_address, offset, sizeof(*result));
    if (p == NULL) return OBCRASH_INVALID_ARGUMENT;
    uint32_t value;
    obcrash_async_memcpy(&value, p, sizeof(value));
    *result = byteorder->swap32(value);
    return OBCRASH_OK;
}

obcrash_error_t obcrash_async_mobject_read_uint64(const obcrash_async_mobject_t* mobj,
                                                  const obcrash_async_byteorder_t* byteorder,
                                                  ob_vm_address_t task_address, ob_vm_off_t offset, uint64_t* result) {
    const void* p = obcrash_async_mobject_remap_address(mobj, task_address, offset, sizeof(*result));
    if (p == NULL) return OBCRASH_INVALID_ARGUMENT;
    uint64_t value;
    obcrash_async_memcpy(&value, p, sizeof(value));
    *result = byteorder->swap64(value);
    return OBCRASH_OK;
}

void obcrash_async_mobject_free(obcrash_async_mobject_t* mobj) {
    if (!mobj->in_place && mobj->vm_length > 0) munmap((void*)mobj->vm_address, (size_t)mobj->vm_length);
    mobj->vm_address = 0;
    mobj->vm_length = 0;
    mobj->address = 0;
    mobj->length = 0;
}
