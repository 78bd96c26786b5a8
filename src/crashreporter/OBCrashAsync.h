#pragma once
// Crash-time building blocks. Everything declared here is async-signal-safe: no heap, no locks,
// only system calls that are safe in a signal handler, and errno is left as it was found.
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The status of every crash-time function; 0 is success. */
typedef enum {
    OBCRASH_OK = 0,
    OBCRASH_UNKNOWN = 1,
    OBCRASH_OUTPUT_ERROR = 2,
    OBCRASH_NO_MEMORY = 3,
    OBCRASH_NOT_SUPPORTED = 4,
    OBCRASH_INVALID_ARGUMENT = 5,
    OBCRASH_INTERNAL = 6,
    OBCRASH_ACCESS_DENIED = 7,
    OBCRASH_NOT_FOUND = 8,
    OBCRASH_INVALID_DATA = 9,
} obcrash_error_t;

const char* obcrash_async_strerror(obcrash_error_t error);

/* Addresses of the task being read, whatever the width of the image they belong to. */
typedef uint64_t ob_vm_address_t;
typedef int64_t ob_vm_off_t;
typedef uint64_t ob_vm_size_t;

/* The task is always this process, named by its process id; a thread is named by its kernel
 * thread id. */
typedef pid_t ob_task_t;
typedef pid_t ob_thread_t;

ob_task_t ob_mach_task_self(void);
ob_thread_t ob_mach_thread_self(void);

/* base + offset, refused when the sum would leave the address space at either end. `result` is
 * written only on success and may be null. */
bool obcrash_async_address_apply_offset(ob_vm_address_t base, ob_vm_off_t offset, ob_vm_address_t* result);

/* Copies `length` bytes at address + offset of the task. An unmapped page gives OBCRASH_NOT_FOUND,
 * a mapped page that cannot be read OBCRASH_ACCESS_DENIED, an overflowing address
 * OBCRASH_NO_MEMORY; the read never faults. */
obcrash_error_t obcrash_async_task_memcpy(ob_task_t task, ob_vm_address_t address, ob_vm_off_t offset, void* dest,
                                          ob_vm_size_t length);

typedef struct obcrash_async_byteorder obcrash_async_byteorder_t;

obcrash_error_t obcrash_async_task_read_uint8(ob_task_t task, ob_vm_address_t address, ob_vm_off_t offset,
                                              uint8_t* result);
obcrash_error_t obcrash_async_task_read_uint16(ob_task_t task, const obcrash_async_byteorder_t* byteorder,
                                               ob_vm_address_t address, ob_vm_off_t offset, uint16_t* result);
obcrash_error_t obcrash_async_task_read_uint32(ob_task_t task, const obcrash_async_byteorder_t* byteorder,
                                               ob_vm_address_t address, ob_vm_off_t offset, uint32_t* result);
obcrash_error_t obcrash_async_task_read_uint64(ob_task_t task, const obcrash_async_byteorder_t* byteorder,
                                               ob_vm_address_t address, ob_vm_off_t offset, uint64_t* result);

/* Byte-wise, as unsigned bytes: 0 when equal, else the difference of the first differing bytes. */
int obcrash_async_strcmp(const char* a, const char* b);
int obcrash_async_strncmp(const char* a, const char* b, size_t n);

/* One byte at a time, so that no library routine or vector store runs at crash time. */
void* obcrash_async_memcpy(void* dest, const void* src, size_t n);
void* obcrash_async_memset(void* dest, uint8_t value, size_t n);

/* Writes all `length` bytes, across short and interrupted writes; -1 on failure, and when two
 * writes in a row write nothing. */
ssize_t obcrash_async_writen(int fd, const void* data, size_t length);

#ifdef __cplusplus
}
#endif
