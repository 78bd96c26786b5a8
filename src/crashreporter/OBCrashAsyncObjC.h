#pragma once
// Method names from a Mach-O image's Objective-C class metadata (the modern, 64-bit layout), for
// images whose symbol table is stripped. Crash-time code: the metadata is untrusted and read only
// through memory objects; the one allocation is the class cache's block, taken with mmap.
#include <stdbool.h>
#include <stdint.h>

#include "OBCrashAsync.h"
#include "OBCrashAsyncMObject.h"
#include "OBCrashAsyncMachO.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The sections one image's walk reads, in the order they are looked for. */
enum {
    OBCRASH_OBJC_SECTION_CONST,     /* __objc_const (required) */
    OBCRASH_OBJC_SECTION_CONST_AX,  /* __DATA,__objc_const_ax */
    OBCRASH_OBJC_SECTION_METHLIST,  /* __TEXT,__objc_methlist */
    OBCRASH_OBJC_SECTION_SELREFS,   /* __DATA,__objc_selrefs */
    OBCRASH_OBJC_SECTION_CLASSLIST, /* __objc_classlist (required) */
    OBCRASH_OBJC_SECTION_CATLIST,   /* __objc_catlist */
    OBCRASH_OBJC_SECTION_OBJC_DATA, /* __DATA,__objc_data (required) */
    OBCRASH_OBJC_SECTION_DATA,      /* __DATA,__data */
    OBCRASH_OBJC_SECTION_COUNT
};

/* Entries of the class cache: keys and values share one block of this many bytes. */
#define OBCRASH_OBJC_CLASS_CACHE_BYTES 16384u

typedef struct obcrash_async_objc_cache {
    /* Set after a complete pass over an image's modern metadata. */
    bool got_modern_metadata;
    /* The image whose sections are mapped below; another image unmaps and remaps them. */
    const obcrash_async_macho_t* last_image;
    obcrash_async_mobject_t sections[OBCRASH_OBJC_SECTION_COUNT];
    bool section_mapped[OBCRASH_OBJC_SECTION_COUNT];
    /* Read-write class data address -> read-only data address. Capacity 0 until the block exists. */
    uint32_t class_cache_capacity;
    uint64_t* class_keys;
    uint64_t* class_values;
} obcrash_async_objc_cache_t;

/* One method as the walk meets it. The strings are valid only during the call. */
typedef void (*obcrash_async_objc_found_method_cb)(bool is_class_method, obcrash_async_macho_string_t* class_name,
                                                   obcrash_async_macho_string_t* method_name, ob_vm_address_t imp,
                                                   void* context);

void obcrash_async_objc_cache_init(obcrash_async_objc_cache_t* cache);
void obcrash_async_objc_cache_free(obcrash_async_objc_cache_t* cache);

/* Visits every method of the image's classes and categories. OBCRASH_NOT_FOUND when the image has
 * no such metadata, OBCRASH_INVALID_DATA when the metadata points outside its sections. */
obcrash_error_t obcrash_async_objc_parse(obcrash_async_macho_t* image, obcrash_async_objc_cache_t* cache,
                                         obcrash_async_objc_found_method_cb visitor, void* context);

/* Calls `callback` once, for the method with the greatest implementation address at or below pc. */
obcrash_error_t obcrash_async_objc_find_method(obcrash_async_macho_t* image, obcrash_async_objc_cache_t* cache,
                                               ob_vm_address_t pc, obcrash_async_objc_found_method_cb callback,
                                               void* context);

#ifdef __cplusplus
}
#endif
