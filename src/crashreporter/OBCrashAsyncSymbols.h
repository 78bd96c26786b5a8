#pragma once
// Names for the pcs of a crash report: an image's symbol table and, on Mach-O images, its
// Objective-C class metadata. Crash-time code: no heap (the class cache is one mmap'ed block),
// no locks.
#include <stdint.h>

#include "OBCrashAsync.h"
#include "OBCrashAsyncImageList.h"
#include "OBCrashAsyncObjC.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Strategy bits. */
enum {
    OBCRASH_ASYNC_SYMBOL_STRATEGY_NONE = 0,
    OBCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE = 1,
    OBCRASH_ASYNC_SYMBOL_STRATEGY_OBJC = 2,
    OBCRASH_ASYNC_SYMBOL_STRATEGY_ALL = 3,
};

/* One per report write; lives on the writer's stack. */
typedef struct obcrash_async_symbol_cache {
    int reserved;
    obcrash_async_objc_cache_t objc_cache;
} obcrash_async_symbol_cache_t;

typedef void (*obcrash_async_found_symbol_cb)(ob_vm_address_t address, const char* name, void* context);

void obcrash_async_symbol_cache_init(obcrash_async_symbol_cache_t* cache);
void obcrash_async_symbol_cache_free(obcrash_async_symbol_cache_t* cache);

/* The name of the function that holds pc: with the symbol-table bit, from the image's symbol table
 * (an ELF image's dynamic symbol table); with the Objective-C bit, from a Mach-O image's class
 * metadata. Between the two the higher start address wins, the Objective-C name on a tie. Names
 * are cut to 255 bytes.
 * OBCRASH_OK and one callback call, OBCRASH_NOT_FOUND when the selected sources found nothing,
 * OBCRASH_INTERNAL when a source reported success without a name. */
obcrash_error_t obcrash_async_find_symbol(obcrash_async_image_t* image, int strategy,
                                          obcrash_async_symbol_cache_t* cache, ob_vm_address_t pc,
                                          obcrash_async_found_symbol_cb callback, void* context);

#ifdef __cplusplus
}
#endif
