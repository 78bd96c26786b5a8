#include "OBCrashAsyncSymbols.h"

void obcrash_async_symbol_cache_init(obcrash_async_symbol_cache_t* cache) { cache->reserved = 0; }

void obcrash_async_symbol_cache_free(obcrash_async_symbol_cache_t* cache) { (void)cache; }

obcrash_error_t obcrash_async_find_symbol(obcrash_async_image_t* image, int strategy,
                                          obcrash_async_symbol_cache_t* cache, ob_vm_address_t pc,
                                          obcrash_async_found_symbol_cb callback, void* context) {
    (void)image, (void)strategy, (void)cache, (void)pc, (void)callback, (void)context;
    return OBCRASH_NOT_FOUND;
}
