#define _GNU_SOURCE
#include "OBCrashAsyncSymbols.h"

#define NAME_CAPACITY 256

void obcrash_async_symbol_cache_init(obcrash_async_symbol_cache_t* cache) {
    cache->reserved = 0;
    obcrash_async_objc_cache_init(&cache->objc_cache);
}

void obcrash_async_symbol_cache_free(obcrash_async_symbol_cache_t* cache) {
    obcrash_async_objc_cache_free(&cache->objc_cache);
}

typedef struct {
    char name[NAME_CAPACITY];
    size_t length;
    bool found;
    ob_vm_address_t address;
} lookup_t;

/* Later candidates win ties, so the source asked last takes precedence at equal addresses. */
static bool takes(const lookup_t* lookup, ob_vm_address_t address) {
    return !lookup->found || address >= lookup->address;
}

static void append(lookup_t* lookup, const char* text, size_t length) {
    for (size_t i = 0; i < length && lookup->length < NAME_CAPACITY - 1; ++i) lookup->name[lookup->length++] = text[i];
    lookup->name[lookup->length] = '\0';
}

static void record_symbol(ob_vm_address_t address, const char* name, void* context) {
    lookup_t* lookup = context;
    if (!takes(lookup, address)) return;
    lookup->length = 0;
    size_t length = 0;
    while (length < NAME_CAPACITY - 1 && name[length] != '\0') ++length;
    append(lookup, name, length);
    lookup->found = true;
    lookup->address = address;
}

static void record_method(bool is_class_method, obcrash_async_macho_string_t* class_name,
                          obcrash_async_macho_string_t* method_name, ob_vm_address_t imp, void* context) {
    lookup_t* lookup = context;
    if (!takes(lookup, imp)) return;
    const char* class_text;
    const char* method_text;
    ob_vm_size_t class_length, method_length;
    if (obcrash_async_macho_string_get_length(class_name, &class_length) != OBCRASH_OK ||
        obcrash_async_macho_string_get_pointer(class_name, &class_text) != OBCRASH_OK ||
        obcrash_async_macho_string_get_length(method_name, &method_length) != OBCRASH_OK ||
        obcrash_async_macho_string_get_pointer(method_name, &method_text) != OBCRASH_OK)
        return;
    lookup->length = 0;
    append(lookup, is_class_method ? "+[" : "-[", 2);
    append(lookup, class_text, (size_t)class_length);
    append(lookup, " ", 1);
    append(lookup, method_text, (size_t)method_length);
    append(lookup, "]", 1);
    lookup->found = true;
    lookup->address = imp;
}

static obcrash_error_t find_in_symbol_table(obcrash_async_image_t* image, ob_vm_address_t pc, lookup_t* lookup) {
    switch (image->kind) {
    case OBCRASH_IMAGE_MACHO: return obcrash_async_macho_find_symbol_by_pc(&image->macho, pc, record_symbol, lookup);
    case OBCRASH_IMAGE_ELF: return obcrash_async_elf_find_symbol_by_pc(&image->elf, pc, record_symbol, lookup);
    }
    return OBCRASH_NOT_FOUND;
}

obcrash_error_t obcrash_async_find_symbol(obcrash_async_image_t* image, int strategy,
                                          obcrash_async_symbol_cache_t* cache, ob_vm_address_t pc,
                                          obcrash_async_found_symbol_cb callback, void* context) {
    const bool use_symbol_table = (strategy & OBCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE) != 0;
    const bool use_objc = (strategy & OBCRASH_ASYNC_SYMBOL_STRATEGY_OBJC) != 0;
    if (!use_symbol_table && !use_objc) return OBCRASH_NOT_FOUND;

    lookup_t lookup;
    lookup.found = false;
    lookup.length = 0;
    lookup.address = 0;
    obcrash_error_t symbol_table_error = OBCRASH_NOT_FOUND;
    if (use_symbol_table) {
        symbol_table_error = find_in_symbol_table(image, pc, &lookup);
        if (symbol_table_error != OBCRASH_OK && !use_objc) return OBCRASH_NOT_FOUND;
    }
    if (use_objc) {
        obcrash_error_t objc_error = OBCRASH_NOT_FOUND;
        if (image->kind == OBCRASH_IMAGE_MACHO)
            objc_error = obcrash_async_objc_find_method(&image->macho, &cache->objc_cache, pc, record_method, &lookup);
        if (symbol_table_error != OBCRASH_OK && objc_error != OBCRASH_OK) return OBCRASH_NOT_FOUND;
    }
    if (!lookup.found) return OBCRASH_INTERNAL;
    callback(lookup.address, lookup.name, context);
    return OBCRASH_OK;
}
