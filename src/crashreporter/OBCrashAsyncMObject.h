#pragma once
// A task memory object: a range of the process's memory made readable through bounds-checked
// reads. A range that lies inside a readable segment of a listed image is read where it is; any
// other range is copied into a private read-only mapping, so later reads never fault even if the
// original pages go away. Everything here is async-signal-safe.
#include <stdbool.h>
#include <stdint.h>

#include "OBCrashAsync.h"
#include "OBCrashAsyncByteOrder.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct obcrash_async_mobject {
    ob_task_t task;
    /* Local address of the first requested byte. */
    uintptr_t address;
    ob_vm_address_t task_address;
    /* Usable bytes from `address` on: the requested length, or less after a partial copy. */
    ob_vm_size_t length;
    /* task_address - address. */
    int64_t vm_slide;
    /* The page-aligned local range; a copy of our own unless `in_place`. */
    uintptr_t vm_address;
    ob_vm_size_t vm_length;
    bool in_place;
} obcrash_async_mobject_t;

/* Tells whether [address, address + length) lies inside one readable segment of an image known to
 * be loaded. Called at crash time: it must neither lock nor allocate. */
typedef struct obcrash_async_mobject_in_place_source {
    bool (*contains)(void* context, ob_vm_address_t address, ob_vm_size_t length);
    void* context;
} obcrash_async_mobject_in_place_source_t;

/* Makes `source` the one consulted by every later init; null reads every range by copy. The
 * source must outlive its registration. */
void obcrash_nasync_mobject_set_in_place_source(const obcrash_async_mobject_in_place_source_t* source);

obcrash_error_t obcrash_async_mobject_init(obcrash_async_mobject_t* mobj, ob_task_t task, ob_vm_address_t task_address,
                                           ob_vm_size_t length, bool require_full);

ob_vm_address_t obcrash_async_mobject_base_address(const obcrash_async_mobject_t* mobj);
ob_vm_size_t obcrash_async_mobject_length(const obcrash_async_mobject_t* mobj);
ob_task_t obcrash_async_mobject_task(const obcrash_async_mobject_t* mobj);

bool obcrash_async_mobject_verify_local_pointer(const obcrash_async_mobject_t* mobj, uintptr_t local_address,
                                                ob_vm_off_t offset, ob_vm_size_t length);
void* obcrash_async_mobject_remap_address(const obcrash_async_mobject_t* mobj, ob_vm_address_t task_address,
                                          ob_vm_off_t offset, ob_vm_size_t length);

obcrash_error_t obcrash_async_mobject_read_uint8(const obcrash_async_mobject_t* mobj, ob_vm_address_t task_address,
                                                 ob_vm_off_t offset, uint8_t* result);
obcrash_error_t obcrash_async_mobject_read_uint16(const obcrash_async_mobject_t* mobj,
                                                  const obcrash_async_byteorder_t* byteorder,
                                                  ob_vm_address_t task_address, ob_vm_off_t offset, uint16_t* result);
obcrash_error_t obcrash_async_mobject_read_uint32(const obcrash_async_mobject_t* mobj,
                                                  const obcrash_async_byteorder_t* byteorder,
                                                  ob_vm_address_t task_address, ob_vm_off_t offset, uint32_t* result);
obcrash_error_t obcrash_async_mobject_read_uint64(const obcrash_async_mobject_t* mobj,
                                                  const obcrash_async_byteorder_t* byteorder,
                                                  ob_vm_address_t task_address, ob_vm_off_t offset, uint64_t* result);

void obcrash_async_mobject_free(obcrash_async_mobject_t* mobj);

#ifdef __cplusplus
}
#endif
