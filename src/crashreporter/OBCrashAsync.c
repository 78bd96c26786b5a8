#define _GNU_SOURCE
#include "OBCrashAsync.h"

#include <errno.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include "OBCrashAsyncByteOrder.h"

const char* obcrash_async_strerror(obcrash_error_t error) {
    switch (error) {
    case OBCRASH_OK: return "No error";
    case OBCRASH_UNKNOWN: return "Unknown error";
    case OBCRASH_OUTPUT_ERROR: return "Output file can not be opened (or written to)";
    case OBCRASH_NO_MEMORY: return "No memory available";
    case OBCRASH_NOT_SUPPORTED: return "Operation not supported";
    case OBCRASH_INVALID_ARGUMENT: return "Invalid argument";
    case OBCRASH_INTERNAL: return "Internal error";
    case OBCRASH_ACCESS_DENIED: return "Access denied";
    case OBCRASH_NOT_FOUND: return "Not found";
    case OBCRASH_INVALID_DATA: return "The input data is in an unknown or invalid format.";
    }
    return "Unhandled error code";
}

ob_task_t ob_mach_task_self(void) { return getpid(); }

ob_thread_t ob_mach_thread_self(void) { return gettid(); }

bool obcrash_async_address_apply_offset(ob_vm_address_t base, ob_vm_off_t offset, ob_vm_address_t* result) {
    ob_vm_address_t sum;
    if (offset >= 0) {
        if (__builtin_add_overflow(base, (ob_vm_address_t)offset, &sum)) return false;
    } else {
        /* The magnitude of INT64_MIN does not fit an int64_t, but does fit the unsigned type. */
        const ob_vm_address_t magnitude = (ob_vm_address_t)0 - (ob_vm_address_t)offset;
        if (magnitude > base) return false;
        sum = base - magnitude;
    }
    if (result != NULL) *result = sum;
    return true;
}

/* Why the byte at `address` could not be read: mincore fails with ENOMEM only on a page that
 * is not mapped at all. */
static obcrash_error_t obcrash_async_classify_unreadable(ob_vm_address_t address) {
    const uintptr_t page_size = (uintptr_t)getpagesize();
    const uintptr_t page = (uintptr_t)address & ~(page_size - 1);
    unsigned char resident;
    if (mincore((void*)page, 1, &resident) == 0) return OBCRASH_ACCESS_DENIED;
    return errno == ENOMEM ? OBCRASH_NOT_FOUND : OBCRASH_UNKNOWN;
}

obcrash_error_t obcrash_async_task_memcpy(ob_task_t task, ob_vm_address_t address, ob_vm_off_t offset, void* dest,
                                          ob_vm_size_t length) {
    ob_vm_address_t source;
    if (!obcrash_async_address_apply_offset(address, offset, &source)) return OBCRASH_NO_MEMORY;

    const int saved_errno = errno;
    obcrash_error_t result = OBCRASH_OK;
    ob_vm_size_t done = 0;
    /* process_vm_readv reports a fault as an error instead of raising a signal, and may stop
     * short at a page it cannot read: the loop goes on until no progress is made. */
    while (done < length) {
        struct iovec local = {(char*)dest + done, (size_t)(length - done)};
        struct iovec remote = {(void*)(uintptr_t)(source + done), (size_t)(length - done)};
        const ssize_t n = process_vm_readv(task, &local, 1, &remote, 1, 0);
        if (n > 0) {
            done += (ob_vm_size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EFAULT) {
            result = OBCRASH_UNKNOWN;
        } else {
            result = obcrash_async_classify_unreadable(source + done);
        }
        break;
    }
    errno = saved_errno;
    return result;
}

obcrash_error_t obcrash_async_task_read_uint8(ob_task_t task, ob_vm_address_t address, ob_vm_off_t offset,
                                              uint8_t* result) {
    return obcrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
}

obcrash_error_t obcrash_async_task_read_uint16(ob_task_t task, const obcrash_async_byteorder_t* byteorder,
                                               ob_vm_address_t address, ob_vm_off_t offset, uint16_t* result) {
    const obcrash_error_t error = obcrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
    if (error == OBCRASH_OK) *result = byteorder->swap16(*result);
    return error;
}

obcrash_error_t obcrash_async_task_read_uint32(ob_task_t task, const obcrash_async_byteorder_t* byteorder,
                                               ob_vm_address_t address, ob_vm_off_t offset, uint32_t* result) {
    const obcrash_error_t error = obcrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
    if (error == OBCRASH_OK) *result = byteorder->swap32(*result);
    return error;
}

obcrash_error_t obcrash_async_task_read_uint64(ob_task_t task, const obcrash_async_byteorder_t* byteorder,
                                               ob_vm_address_t address, ob_vm_off_t offset, uint64_t* result) {
    const obcrash_error_t error = obcrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
    if (error == OBCRASH_OK) *result = byteorder->swap64(*result);
    return error;
}

int obcrash_async_strcmp(const char* a, const char* b) {
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    while (*x != '\0' && *x == *y) {
        ++x;
        ++y;
    }
    return (int)*x - (int)*y;
}

int obcrash_async_strncmp(const char* a, const char* b, size_t n) {
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    for (; n > 0; --n, ++x, ++y) {
        if (*x != *y) return (int)*x - (int)*y;
        if (*x == '\0') return 0;
    }
    return 0;
}

/* volatile keeps the compiler from turning the loops back into library calls. */
void* obcrash_async_memcpy(void* dest, const void* src, size_t n) {
    volatile unsigned char* d = (volatile unsigned char*)dest;
    const unsigned char* s = (const unsigned char*)src;
    for (size_t i = 0; i < n; ++i) d[i] = s[i];
    return dest;
}

void* obcrash_async_memset(void* dest, uint8_t value, size_t n) {
    volatile unsigned char* d = (volatile unsigned char*)dest;
    for (size_t i = 0; i < n; ++i) d[i] = value;
    return dest;
}

ssize_t obcrash_async_writen(int fd, const void* data, size_t length) {
    const char* p = (const char*)data;
    size_t left = length;
    /* A write of nothing is tried once more; twice in a row, the file takes no more. */
    bool stalled = false;
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n > 0) {
            p += n;
            left -= (size_t)n;
            stalled = false;
            continue;
        }
        /* Only a failed call sets errno; a write of nothing would otherwise loop forever on a
         * stale EINTR. */
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 && !stalled) {
            stalled = true;
            continue;
        }
        return -1;
    }
    return (ssize_t)length;
}
