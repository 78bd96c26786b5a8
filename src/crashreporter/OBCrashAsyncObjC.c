#define _GNU_SOURCE
#include "OBCrashAsyncObjC.h"

#include <sys/mman.h>

#include "OBCrashAsyncByteOrder.h"

#define CLASS_SIZE 40
#define CLASS_DATA_OFFSET 32
#define CLASS_RO_SIZE 72
#define CLASS_RO_NAME_OFFSET 24
#define CLASS_RO_METHODS_OFFSET 32
#define CATEGORY_SIZE 48
#define METHOD_LIST_HEADER_SIZE 8
#define METHOD_SIZE 24
#define RELATIVE_METHOD_SIZE 12

#define CLASS_DATA_MASK 0x7FFFFFFFFFF8ull
#define ISA_MASK 0xFFFFFFFF8ull
#define RW_REALIZED (1u << 31)
#define RW_COPIED_RO (1u << 27)
#define METHOD_LIST_RELATIVE (1u << 31)
#define METHOD_LIST_ENTSIZE_MASK 0xFFFCu

#define SEGMENT_COMMAND_64_SIZE 72

static const char* const data_segments[] = {"__DATA", "__DATA_CONST", "__DATA_DIRTY"};

void obcrash_async_objc_cache_init(obcrash_async_objc_cache_t* cache) {
    obcrash_async_memset(cache, 0, sizeof(*cache));
}

static void unmap_sections(obcrash_async_objc_cache_t* cache) {
    for (int i = 0; i < OBCRASH_OBJC_SECTION_COUNT; ++i) {
        if (cache->section_mapped[i]) obcrash_async_mobject_free(&cache->sections[i]);
        cache->section_mapped[i] = false;
    }
    cache->last_image = NULL;
}

void obcrash_async_objc_cache_free(obcrash_async_objc_cache_t* cache) {
    unmap_sections(cache);
    if (cache->class_keys != NULL) munmap(cache->class_keys, OBCRASH_OBJC_CLASS_CACHE_BYTES);
    cache->class_keys = NULL;
    cache->class_values = NULL;
    cache->class_cache_capacity = 0;
}

static bool class_cache_lookup(const obcrash_async_objc_cache_t* cache, uint64_t key, uint64_t* value) {
    if (cache->class_cache_capacity == 0) return false;
    const uint32_t slot = (uint32_t)((key >> 2) % cache->class_cache_capacity);
    if (cache->class_keys[slot] != key) return false;
    *value = cache->class_values[slot];
    return true;
}

/* A collision keeps the older entry. Without the block nothing is cached, and the next insertion
 * asks for it again. */
static void class_cache_insert(obcrash_async_objc_cache_t* cache, uint64_t key, uint64_t value) {
    if (cache->class_cache_capacity == 0) {
        void* block =
            mmap(NULL, OBCRASH_OBJC_CLASS_CACHE_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) return;
        cache->class_cache_capacity = OBCRASH_OBJC_CLASS_CACHE_BYTES / (2 * sizeof(uint64_t));
        cache->class_keys = block;
        cache->class_values = cache->class_keys + cache->class_cache_capacity;
    }
    const uint32_t slot = (uint32_t)((key >> 2) % cache->class_cache_capacity);
    if (cache->class_keys[slot] != 0) return;
    cache->class_keys[slot] = key;
    cache->class_values[slot] = value;
}

/* The first of the segments that holds the section; OBCRASH_NOT_FOUND when none does. */
static obcrash_error_t map_section_in(const obcrash_async_macho_t* image, const char* const* segments, size_t count,
                                      const char* sectname, obcrash_async_mobject_t* mobj) {
    for (size_t i = 0; i < count; ++i) {
        const obcrash_error_t error = obcrash_async_macho_map_section(image, segments[i], sectname, mobj);
        if (error != OBCRASH_NOT_FOUND) return error;
    }
    return OBCRASH_NOT_FOUND;
}

static obcrash_error_t map_sections(const obcrash_async_macho_t* image, obcrash_async_objc_cache_t* cache) {
    if (cache->last_image == image) return OBCRASH_OK;
    unmap_sections(cache);
    static const char* const data[] = {"__DATA"};
    static const char* const text[] = {"__TEXT"};
    static const struct {
        const char* const* segments;
        size_t count;
        const char* name;
        bool required;
    } wanted[OBCRASH_OBJC_SECTION_COUNT] = {
        [OBCRASH_OBJC_SECTION_CONST] = {data_segments, 3, "__objc_const", true},
        [OBCRASH_OBJC_SECTION_CONST_AX] = {data, 1, "__objc_const_ax", false},
        [OBCRASH_OBJC_SECTION_METHLIST] = {text, 1, "__objc_methlist", false},
        [OBCRASH_OBJC_SECTION_SELREFS] = {data, 1, "__objc_selrefs", false},
        [OBCRASH_OBJC_SECTION_CLASSLIST] = {data_segments, 3, "__objc_classlist", true},
        /* An image without categories has no list of them; its classes still have names. */
        [OBCRASH_OBJC_SECTION_CATLIST] = {data_segments, 3, "__objc_catlist", false},
        [OBCRASH_OBJC_SECTION_OBJC_DATA] = {data, 1, "__objc_data", true},
        [OBCRASH_OBJC_SECTION_DATA] = {data, 1, "__data", false},
    };
    for (int i = 0; i < OBCRASH_OBJC_SECTION_COUNT; ++i) {
        const obcrash_error_t error =
            map_section_in(image, wanted[i].segments, wanted[i].count, wanted[i].name, &cache->sections[i]);
        if (error == OBCRASH_OK) {
            cache->section_mapped[i] = true;
        } else if (error != OBCRASH_NOT_FOUND || wanted[i].required) {
            unmap_sections(cache);
            return error;
        }
    }
    cache->last_image = image;
    return OBCRASH_OK;
}

typedef struct {
    obcrash_async_macho_t* image;
    obcrash_async_objc_cache_t* cache;
    obcrash_async_objc_found_method_cb visitor;
    void* context;
} walk_t;

static uint32_t load32(const walk_t* walk, const void* p) {
    uint32_t value;
    obcrash_async_memcpy(&value, p, sizeof(value));
    return walk->image->byteorder->swap32(value);
}

static uint64_t load64(const walk_t* walk, const void* p) {
    uint64_t value;
    obcrash_async_memcpy(&value, p, sizeof(value));
    return walk->image->byteorder->swap64(value);
}

/* Local bytes of [address, address + length) when one mapped section holds them all. */
static const uint8_t* in_section(const walk_t* walk, int which, ob_vm_address_t address, ob_vm_size_t length) {
    if (!walk->cache->section_mapped[which]) return NULL;
    return obcrash_async_mobject_remap_address(&walk->cache->sections[which], address, 0, length);
}

/* Data the runtime made or moved at run time lies outside the image's sections. */
static obcrash_error_t read_task(const walk_t* walk, ob_vm_address_t address, void* dest, ob_vm_size_t length) {
    if (obcrash_async_task_memcpy(walk->image->task, address, 0, dest, length) != OBCRASH_OK)
        return OBCRASH_INVALID_DATA;
    return OBCRASH_OK;
}

/* Whether a segment of the image (not its zero page) covers the address. */
static bool image_holds(const walk_t* walk, ob_vm_address_t address) {
    const obcrash_async_macho_t* image = walk->image;
    for (const uint8_t* cmd = obcrash_async_macho_next_command_type(image, NULL, OBCRASH_LC_SEGMENT_64); cmd != NULL;
         cmd = obcrash_async_macho_next_command_type(image, cmd, OBCRASH_LC_SEGMENT_64)) {
        if (!obcrash_async_mobject_verify_local_pointer(&image->load_cmds, (uintptr_t)cmd, 0, SEGMENT_COMMAND_64_SIZE))
            return false;
        const uint32_t initprot = load32(walk, cmd + 60);
        if (initprot == 0) continue;
        const uint64_t start = load64(walk, cmd + 24) + (uint64_t)image->vmaddr_slide;
        if (address >= start && address - start < load64(walk, cmd + 32)) return true;
    }
    return false;
}

/* A class record (isa ... data) of the image: in __objc_data, else in __data. */
static const uint8_t* find_class(const walk_t* walk, ob_vm_address_t address) {
    const uint8_t* record = in_section(walk, OBCRASH_OBJC_SECTION_OBJC_DATA, address, CLASS_SIZE);
    if (record == NULL) record = in_section(walk, OBCRASH_OBJC_SECTION_DATA, address, CLASS_SIZE);
    return record;
}

static obcrash_error_t read_class_ro(const walk_t* walk, ob_vm_address_t ro_address, bool copied,
                                     uint8_t ro[CLASS_RO_SIZE]) {
    if (!copied) {
        const uint8_t* mapped = in_section(walk, OBCRASH_OBJC_SECTION_CONST, ro_address, CLASS_RO_SIZE);
        if (mapped != NULL) {
            obcrash_async_memcpy(ro, mapped, CLASS_RO_SIZE);
            return OBCRASH_OK;
        }
        if (image_holds(walk, ro_address)) return OBCRASH_INVALID_DATA;
    }
    return read_task(walk, ro_address, ro, CLASS_RO_SIZE);
}

/* The read-only data of a class record, through the runtime's read-write data once the class is
 * realized. */
static obcrash_error_t class_ro(const walk_t* walk, const uint8_t* record, uint8_t ro[CLASS_RO_SIZE]) {
    const uint64_t data = load64(walk, record + CLASS_DATA_OFFSET) & CLASS_DATA_MASK;
    uint64_t ro_address;
    if (class_cache_lookup(walk->cache, data, &ro_address)) return read_class_ro(walk, ro_address, false, ro);

    uint8_t rw[16];
    obcrash_error_t error = read_task(walk, data, rw, sizeof(rw));
    if (error != OBCRASH_OK) return error;
    const uint32_t flags = load32(walk, rw);
    uint64_t candidate = (flags & RW_REALIZED) ? load64(walk, rw + 8) : data;
    if (candidate & 1) {
        uint8_t extension[8];
        error = read_task(walk, candidate & ~1ull, extension, sizeof(extension));
        if (error != OBCRASH_OK) return error;
        candidate = load64(walk, extension);
    }
    ro_address = candidate;
    error = read_class_ro(walk, ro_address, (flags & RW_COPIED_RO) != 0, ro);
    if (error != OBCRASH_OK) return error;
    class_cache_insert(walk->cache, data, ro_address);
    return OBCRASH_OK;
}

static void visit_method(const walk_t* walk, bool is_class_method, ob_vm_address_t class_name,
                         ob_vm_address_t method_name, ob_vm_address_t imp) {
    obcrash_async_macho_string_t class_string, method_string;
    obcrash_async_macho_string_init(&class_string, walk->image, class_name);
    obcrash_async_macho_string_init(&method_string, walk->image, method_name);
    walk->visitor(is_class_method, &class_string, &method_string, imp, walk->context);
    obcrash_async_macho_string_free(&method_string);
    obcrash_async_macho_string_free(&class_string);
}

static obcrash_error_t visit_method_list(const walk_t* walk, ob_vm_address_t list, ob_vm_address_t class_name,
                                         bool is_class_method) {
    static const int holders[] = {OBCRASH_OBJC_SECTION_CONST, OBCRASH_OBJC_SECTION_CONST_AX,
                                  OBCRASH_OBJC_SECTION_METHLIST};
    int holder = -1;
    const uint8_t* header = NULL;
    for (size_t i = 0; i < sizeof(holders) / sizeof(holders[0]) && header == NULL; ++i) {
        holder = holders[i];
        header = in_section(walk, holder, list, METHOD_LIST_HEADER_SIZE);
    }
    if (header == NULL) return OBCRASH_INVALID_DATA;
    const uint32_t first = load32(walk, header);
    const uint32_t count = load32(walk, header + 4);
    const uint32_t entsize = first & METHOD_LIST_ENTSIZE_MASK;
    const bool relative = (first & METHOD_LIST_RELATIVE) != 0;
    if (entsize < (relative ? RELATIVE_METHOD_SIZE : METHOD_SIZE)) return OBCRASH_INVALID_DATA;
    ob_vm_address_t entries_address;
    if (!obcrash_async_address_apply_offset(list, METHOD_LIST_HEADER_SIZE, &entries_address))
        return OBCRASH_INVALID_DATA;
    const uint8_t* entries = in_section(walk, holder, entries_address, (ob_vm_size_t)entsize * count);
    if (entries == NULL) return OBCRASH_INVALID_DATA;

    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = entries + (ob_vm_size_t)i * entsize;
        const ob_vm_address_t entry_address = entries_address + (ob_vm_size_t)i * entsize;
        ob_vm_address_t name, imp;
        if (relative) {
            /* Each field is an offset from its own address. */
            name = entry_address + (uint64_t)(int64_t)(int32_t)load32(walk, entry);
            imp = entry_address + 8 + (uint64_t)(int64_t)(int32_t)load32(walk, entry + 8);
        } else {
            name = load64(walk, entry);
            imp = load64(walk, entry + 16);
        }
        const uint8_t* selref = in_section(walk, OBCRASH_OBJC_SECTION_SELREFS, name, 8);
        if (selref != NULL) name = load64(walk, selref);
        visit_method(walk, is_class_method, class_name, name, imp);
    }
    return OBCRASH_OK;
}

static obcrash_error_t visit_class(const walk_t* walk, const uint8_t* record, bool is_class_method) {
    uint8_t ro[CLASS_RO_SIZE];
    const obcrash_error_t error = class_ro(walk, record, ro);
    if (error != OBCRASH_OK) return error;
    const uint64_t methods = load64(walk, ro + CLASS_RO_METHODS_OFFSET);
    if (methods == 0) return OBCRASH_OK;
    return visit_method_list(walk, methods, load64(walk, ro + CLASS_RO_NAME_OFFSET), is_class_method);
}

static obcrash_error_t visit_class_and_metaclass(const walk_t* walk, ob_vm_address_t address) {
    const uint8_t* record = find_class(walk, address);
    if (record == NULL) return OBCRASH_INVALID_DATA;
    obcrash_error_t error = visit_class(walk, record, false);
    if (error != OBCRASH_OK) return error;
    uint64_t isa = load64(walk, record);
    if (isa & 1) isa &= ISA_MASK;
    const uint8_t* metaclass = find_class(walk, isa);
    if (metaclass == NULL) return OBCRASH_INVALID_DATA;
    return visit_class(walk, metaclass, true);
}

static obcrash_error_t visit_classes(const walk_t* walk) {
    const obcrash_async_mobject_t* list = &walk->cache->sections[OBCRASH_OBJC_SECTION_CLASSLIST];
    const ob_vm_address_t base = obcrash_async_mobject_base_address(list);
    const ob_vm_size_t count = obcrash_async_mobject_length(list) / 8;
    for (ob_vm_size_t i = 0; i < count; ++i) {
        const uint8_t* slot = in_section(walk, OBCRASH_OBJC_SECTION_CLASSLIST, base + i * 8, 8);
        if (slot == NULL) return OBCRASH_INVALID_DATA;
        const obcrash_error_t error = visit_class_and_metaclass(walk, load64(walk, slot));
        if (error != OBCRASH_OK && error != OBCRASH_NOT_FOUND) return error;
    }
    return OBCRASH_OK;
}

static obcrash_error_t visit_categories(const walk_t* walk) {
    if (!walk->cache->section_mapped[OBCRASH_OBJC_SECTION_CATLIST]) return OBCRASH_OK;
    const obcrash_async_mobject_t* list = &walk->cache->sections[OBCRASH_OBJC_SECTION_CATLIST];
    const ob_vm_address_t base = obcrash_async_mobject_base_address(list);
    const ob_vm_size_t count = obcrash_async_mobject_length(list) / 8;
    for (ob_vm_size_t i = 0; i < count; ++i) {
        const uint8_t* slot = in_section(walk, OBCRASH_OBJC_SECTION_CATLIST, base + i * 8, 8);
        if (slot == NULL) return OBCRASH_INVALID_DATA;
        const uint8_t* category = in_section(walk, OBCRASH_OBJC_SECTION_CONST, load64(walk, slot), CATEGORY_SIZE);
        if (category == NULL) return OBCRASH_INVALID_DATA;
        const uint64_t class_address = load64(walk, category + 8);
        /* The class of another image, not bound yet: there is no name to give its methods. */
        if (class_address == 0) continue;
        uint8_t copy[CLASS_SIZE];
        const uint8_t* record = in_section(walk, OBCRASH_OBJC_SECTION_OBJC_DATA, class_address, CLASS_SIZE);
        if (record == NULL) {
            obcrash_error_t error = read_task(walk, class_address, copy, sizeof(copy));
            if (error != OBCRASH_OK) return error;
            record = copy;
        }
        uint8_t ro[CLASS_RO_SIZE];
        obcrash_error_t error = class_ro(walk, record, ro);
        if (error != OBCRASH_OK) return error;
        const uint64_t class_name = load64(walk, ro + CLASS_RO_NAME_OFFSET);
        const uint64_t instance_methods = load64(walk, category + 16);
        const uint64_t class_methods = load64(walk, category + 24);
        if (instance_methods != 0) {
            error = visit_method_list(walk, instance_methods, class_name, false);
            if (error != OBCRASH_OK) return error;
        }
        if (class_methods != 0) {
            error = visit_method_list(walk, class_methods, class_name, true);
            if (error != OBCRASH_OK) return error;
        }
    }
    return OBCRASH_OK;
}

obcrash_error_t obcrash_async_objc_parse(obcrash_async_macho_t* image, obcrash_async_objc_cache_t* cache,
                                         obcrash_async_objc_found_method_cb visitor, void* context) {
    /* Only the 64-bit layout is read: 32-bit images are not loaded on this platform. */
    if (!image->m64) return OBCRASH_NOT_SUPPORTED;
    obcrash_error_t error = map_sections(image, cache);
    if (error != OBCRASH_OK) return error;
    const walk_t walk = {image, cache, visitor, context};
    error = visit_classes(&walk);
    if (error == OBCRASH_OK) error = visit_categories(&walk);
    if (error == OBCRASH_OK) cache->got_modern_metadata = true;
    return error;
}

typedef struct {
    ob_vm_address_t pc;
    ob_vm_address_t best;
} nearest_t;

static void keep_nearest(bool is_class_method, obcrash_async_macho_string_t* class_name,
                         obcrash_async_macho_string_t* method_name, ob_vm_address_t imp, void* context) {
    (void)is_class_method, (void)class_name, (void)method_name;
    nearest_t* nearest = context;
    if (imp <= nearest->pc && imp > nearest->best) nearest->best = imp;
}

typedef struct {
    ob_vm_address_t imp;
    bool called;
    obcrash_async_objc_found_method_cb callback;
    void* context;
} report_t;

static void report_first_at(bool is_class_method, obcrash_async_macho_string_t* class_name,
                            obcrash_async_macho_string_t* method_name, ob_vm_address_t imp, void* context) {
    report_t* report = context;
    if (report->called || imp != report->imp) return;
    report->called = true;
    report->callback(is_class_method, class_name, method_name, imp, report->context);
}

obcrash_error_t obcrash_async_objc_find_method(obcrash_async_macho_t* image, obcrash_async_objc_cache_t* cache,
                                               ob_vm_address_t pc, obcrash_async_objc_found_method_cb callback,
                                               void* context) {
    nearest_t nearest = {pc, 0};
    obcrash_error_t error = obcrash_async_objc_parse(image, cache, keep_nearest, &nearest);
    if (error != OBCRASH_OK) return error;
    if (nearest.best == 0) return OBCRASH_NOT_FOUND;
    report_t report = {nearest.best, false, callback, context};
    error = obcrash_async_objc_parse(image, cache, report_first_at, &report);
    if (error != OBCRASH_OK) return error;
    return report.called ? OBCRASH_OK : OBCRASH_NOT_FOUND;
}
