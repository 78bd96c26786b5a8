#pragma once
// The images loaded into the process, Mach-O and ELF alike. Ordinary threads change the list;
// crash-time code walks it without a lock, holding the reading mark, and an image pointer it got
// stays readable for as long as the list exists.
#include <link.h>
#include <stdbool.h>
#include <stdint.h>

#include "OBCrashAsync.h"
#include "OBCrashAsyncElf.h"
#include "OBCrashAsyncMObject.h"
#include "OBCrashAsyncMachO.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum { OBCRASH_IMAGE_MACHO = 1, OBCRASH_IMAGE_ELF = 2 } obcrash_async_image_kind_t;

typedef struct obcrash_async_image {
    obcrash_async_image_kind_t kind;
    union {
        obcrash_async_macho_t macho;
        obcrash_async_elf_t elf;
    };
    /* The list node that holds the image, set when a reader reaches it. */
    void* node;
} obcrash_async_image_t;

typedef struct obcrash_async_image_list {
    ob_task_t task;
    void* list;
    /* This list as the source of in-place reads, once it serves them. */
    obcrash_async_mobject_in_place_source_t in_place_source;
} obcrash_async_image_list_t;

void obcrash_nasync_image_list_init(obcrash_async_image_list_t* list, ob_task_t task);
/* A Mach-O image whose header lies at `header_address`; one that cannot be parsed adds nothing. */
void obcrash_nasync_image_list_append(obcrash_async_image_list_t* list, ob_vm_address_t header_address,
                                      const char* name);
/* An ELF object as dl_iterate_phdr reports it; `name` overrides the loader's name when not null. */
void obcrash_nasync_image_list_append_elf(obcrash_async_image_list_t* list, const struct dl_phdr_info* info,
                                          const char* name);
void obcrash_nasync_image_list_remove(obcrash_async_image_list_t* list, ob_vm_address_t header_address);
/* Makes reads of ranges inside the listed ELF images' readable segments happen in place (Task
 * memory objects), or stops that. A list must stop serving before it is freed. */
void obcrash_nasync_image_list_serve_in_place_reads(obcrash_async_image_list_t* list, bool enable);
void obcrash_nasync_image_list_free(obcrash_async_image_list_t* list);

void obcrash_async_image_list_set_reading(obcrash_async_image_list_t* list, bool enable);
obcrash_async_image_t* obcrash_async_image_list_next(obcrash_async_image_list_t* list, obcrash_async_image_t* current);
/* The caller holds the reading mark. */
obcrash_async_image_t* obcrash_async_image_containing_address(obcrash_async_image_list_t* list,
                                                              ob_vm_address_t address);

ob_vm_address_t obcrash_async_image_header_addr(const obcrash_async_image_t* image);
const char* obcrash_async_image_name(const obcrash_async_image_t* image);
ob_vm_size_t obcrash_async_image_text_size(const obcrash_async_image_t* image);
uint32_t obcrash_async_image_cpu_type(const obcrash_async_image_t* image);
bool obcrash_async_image_contains_address(const obcrash_async_image_t* image, ob_vm_address_t address);
/* The image's 16-byte identifier (LC_UUID, or the build id); false when it has none. */
bool obcrash_async_image_uuid(const obcrash_async_image_t* image, uint8_t uuid[16]);
obcrash_error_t obcrash_async_image_map_section(const obcrash_async_image_t* image, const char* segname,
                                                const char* sectname, obcrash_async_mobject_t* mobj);

#ifdef __cplusplus
}
#endif
