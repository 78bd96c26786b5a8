#pragma once
// Reads a loaded Mach-O image in place: header, load commands, segments, sections and the symbol
// table. The record is made on an ordinary thread; every query after that allocates nothing,
// takes no lock and treats the image's bytes as untrusted. 32-bit and 64-bit images of either
// byte order; universal files are refused.
#include <stdbool.h>
#include <stdint.h>

#include "OBCrashAsync.h"
#include "OBCrashAsyncByteOrder.h"
#include "OBCrashAsyncMObject.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OBCRASH_MH_MAGIC 0xfeedfaceu
#define OBCRASH_MH_CIGAM 0xcefaedfeu
#define OBCRASH_MH_MAGIC_64 0xfeedfacfu
#define OBCRASH_MH_CIGAM_64 0xcffaedfeu
#define OBCRASH_FAT_MAGIC 0xcafebabeu
#define OBCRASH_FAT_CIGAM 0xbebafecau

#define OBCRASH_LC_SEGMENT 0x1u
#define OBCRASH_LC_SYMTAB 0x2u
#define OBCRASH_LC_DYSYMTAB 0xbu
#define OBCRASH_LC_SEGMENT_64 0x19u
#define OBCRASH_LC_UUID 0x1bu

#define OBCRASH_N_STAB 0xe0u
#define OBCRASH_N_TYPE 0x0eu
#define OBCRASH_N_SECT 0x0eu
#define OBCRASH_N_ARM_THUMB_DEF 0x0008u

/* The first 28 bytes of every Mach header, in the image's byte order. */
typedef struct {
    uint32_t magic;
    int32_t cputype;
    int32_t cpusubtype;
    uint32_t filetype;
    uint32_t ncmds;
    uint32_t sizeofcmds;
    uint32_t flags;
} obcrash_macho_header_t;

typedef struct {
    uint32_t cmd;
    uint32_t cmdsize;
} obcrash_macho_load_command_t;

typedef struct {
    uint32_t cmd;
    uint32_t cmdsize;
    char segname[16];
    uint32_t vmaddr, vmsize, fileoff, filesize;
    int32_t maxprot, initprot;
    uint32_t nsects, flags;
} obcrash_macho_segment_command_t;

typedef struct {
    uint32_t cmd;
    uint32_t cmdsize;
    char segname[16];
    uint64_t vmaddr, vmsize, fileoff, filesize;
    int32_t maxprot, initprot;
    uint32_t nsects, flags;
} obcrash_macho_segment_command_64_t;

typedef struct {
    char sectname[16];
    char segname[16];
    uint32_t addr, size, offset, align, reloff, nreloc, flags, reserved1, reserved2;
} obcrash_macho_section_t;

typedef struct {
    char sectname[16];
    char segname[16];
    uint64_t addr, size;
    uint32_t offset, align, reloff, nreloc, flags, reserved1, reserved2, reserved3;
} obcrash_macho_section_64_t;

typedef struct {
    uint32_t cmd, cmdsize, symoff, nsyms, stroff, strsize;
} obcrash_macho_symtab_command_t;

typedef struct {
    uint32_t cmd, cmdsize;
    uint32_t ilocalsym, nlocalsym, iextdefsym, nextdefsym, iundefsym, nundefsym;
    uint32_t tocoff, ntoc, modtaboff, nmodtab, extrefsymoff, nextrefsyms, indirectsymoff, nindirectsyms, extreloff,
        nextrel, locreloff, nlocrel;
} obcrash_macho_dysymtab_command_t;

typedef struct {
    uint32_t cmd, cmdsize;
    uint8_t uuid[16];
} obcrash_macho_uuid_command_t;

typedef struct obcrash_async_macho {
    ob_task_t task;
    ob_vm_address_t header_addr;
    int64_t vmaddr_slide;
    char* name;
    obcrash_macho_header_t header;
    ob_vm_size_t header_size;
    uint32_t ncmds;
    obcrash_async_mobject_t load_cmds;
    ob_vm_address_t text_vmaddr;
    ob_vm_size_t text_size;
    bool m64;
    const obcrash_async_byteorder_t* byteorder;
    /* The end of the memory mapped for the image when it was listed (0: unknown). No segment or
     * section reaches past it, whatever sizes the load commands claim. */
    ob_vm_address_t mapped_end;
} obcrash_async_macho_t;

typedef struct {
    obcrash_async_mobject_t mobj;
    uint64_t fileoff;
    uint64_t filesize;
} obcrash_async_macho_mapped_segment_t;

typedef struct {
    obcrash_async_macho_t* image;
    obcrash_async_macho_mapped_segment_t linkedit;
    void* symtab;
    uint32_t nsyms;
    void* symtab_global;
    uint32_t nsyms_global;
    void* symtab_local;
    uint32_t nsyms_local;
    const char* string_table;
    ob_vm_size_t string_table_size;
} obcrash_async_macho_symtab_reader_t;

typedef struct {
    uint32_t n_strx;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    uint64_t n_value;
    uint64_t normalized_value;
} obcrash_async_macho_symtab_entry_t;

typedef struct {
    obcrash_async_macho_t* image;
    ob_vm_address_t address;
    obcrash_async_mobject_t mobj;
    bool mapped;
    ob_vm_size_t length;
} obcrash_async_macho_string_t;

typedef void (*obcrash_async_macho_found_symbol_cb)(ob_vm_address_t address, const char* name, void* context);

obcrash_error_t obcrash_nasync_macho_init(obcrash_async_macho_t* image, ob_task_t task, const char* name,
                                          ob_vm_address_t header_addr);
void obcrash_nasync_macho_free(obcrash_async_macho_t* image);

const obcrash_async_byteorder_t* obcrash_async_macho_byteorder(const obcrash_async_macho_t* image);
const obcrash_macho_header_t* obcrash_async_macho_header(const obcrash_async_macho_t* image);
ob_vm_size_t obcrash_async_macho_header_size(const obcrash_async_macho_t* image);
uint32_t obcrash_async_macho_cpu_type(const obcrash_async_macho_t* image);
uint32_t obcrash_async_macho_cpu_subtype(const obcrash_async_macho_t* image);
bool obcrash_async_macho_contains_address(const obcrash_async_macho_t* image, ob_vm_address_t address);

void* obcrash_async_macho_next_command(const obcrash_async_macho_t* image, const void* previous);
void* obcrash_async_macho_next_command_type(const obcrash_async_macho_t* image, const void* previous,
                                            uint32_t expected_command);
void* obcrash_async_macho_find_command(const obcrash_async_macho_t* image, uint32_t expected_command);
void* obcrash_async_macho_find_segment_cmd(const obcrash_async_macho_t* image, const char* segname);

obcrash_error_t obcrash_async_macho_map_segment(const obcrash_async_macho_t* image, const char* segname,
                                                obcrash_async_macho_mapped_segment_t* segment);
void obcrash_async_macho_mapped_segment_free(obcrash_async_macho_mapped_segment_t* segment);
obcrash_error_t obcrash_async_macho_map_section(const obcrash_async_macho_t* image, const char* segname,
                                                const char* sectname, obcrash_async_mobject_t* mobj);

obcrash_error_t obcrash_async_macho_symtab_reader_init(obcrash_async_macho_symtab_reader_t* reader,
                                                       obcrash_async_macho_t* image);
obcrash_async_macho_symtab_entry_t obcrash_async_macho_symtab_reader_read(
    const obcrash_async_macho_symtab_reader_t* reader, const void* symtab, uint32_t index);
const char* obcrash_async_macho_symtab_reader_symbol_name(const obcrash_async_macho_symtab_reader_t* reader,
                                                          uint32_t n_strx);
void obcrash_async_macho_symtab_reader_free(obcrash_async_macho_symtab_reader_t* reader);

obcrash_error_t obcrash_async_macho_find_symbol_by_name(obcrash_async_macho_t* image, const char* name,
                                                        ob_vm_address_t* address);
obcrash_error_t obcrash_async_macho_find_symbol_by_pc(obcrash_async_macho_t* image, ob_vm_address_t pc,
                                                      obcrash_async_macho_found_symbol_cb callback, void* context);

obcrash_error_t obcrash_async_macho_string_init(obcrash_async_macho_string_t* string, obcrash_async_macho_t* image,
                                                ob_vm_address_t address);
obcrash_error_t obcrash_async_macho_string_get_length(obcrash_async_macho_string_t* string, ob_vm_size_t* length);
obcrash_error_t obcrash_async_macho_string_get_pointer(obcrash_async_macho_string_t* string, const char** pointer);
void obcrash_async_macho_string_free(obcrash_async_macho_string_t* string);

#ifdef __cplusplus
}
#endif
