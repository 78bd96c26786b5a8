#define _GNU_SOURCE
#include "OBCrashAsyncMachO.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define SEGMENT_COMMAND_SIZE 56
#define SEGMENT_COMMAND_64_SIZE 72
#define SECTION_SIZE 68
#define SECTION_64_SIZE 80
#define NLIST_SIZE 12
#define NLIST_64_SIZE 16

/* Loads of fields at any alignment: the bytes come from an image we do not trust. */
static uint32_t load32(const obcrash_async_macho_t* image, const void* p) {
    uint32_t value;
    obcrash_async_memcpy(&value, p, sizeof(value));
    return image->byteorder->swap32(value);
}

static uint64_t load64(const obcrash_async_macho_t* image, const void* p) {
    uint64_t value;
    obcrash_async_memcpy(&value, p, sizeof(value));
    return image->byteorder->swap64(value);
}

static uint16_t load16(const obcrash_async_macho_t* image, const void* p) {
    uint16_t value;
    obcrash_async_memcpy(&value, p, sizeof(value));
    return image->byteorder->swap16(value);
}

static bool verify(const obcrash_async_macho_t* image, const void* p, ob_vm_off_t offset, ob_vm_size_t length) {
    return obcrash_async_mobject_verify_local_pointer(&image->load_cmds, (uintptr_t)p, offset, length);
}

/* The end of the readable mappings of one object that run on from the one holding `address`, as
 * the task's memory map lists them; 0 when the map cannot be read. Mappings of another file (the
 * next library) end the run. */
static ob_vm_address_t find_mapped_end(ob_task_t task, ob_vm_address_t address) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/maps", (int)task);
    FILE* maps = fopen(path, "re");
    if (maps == NULL) return 0;
    ob_vm_address_t end = 0;
    unsigned long long run_device_major = 0, run_device_minor = 0, run_inode = 0;
    char* line = NULL;
    size_t capacity = 0;
    while (getline(&line, &capacity, maps) > 0) {
        unsigned long long start, stop, offset, device_major, device_minor, inode;
        char perms[5];
        if (sscanf(line, "%llx-%llx %4s %llx %llx:%llx %llu", &start, &stop, perms, &offset, &device_major,
                   &device_minor, &inode) != 7)
            break;
        const bool readable = perms[0] == 'r';
        if (end == 0) {
            if (address < start || address >= stop) continue;
            if (!readable) break;
            end = stop;
            run_device_major = device_major;
            run_device_minor = device_minor;
            run_inode = inode;
            continue;
        }
        if (start != end || !readable || device_major != run_device_major || device_minor != run_device_minor ||
            inode != run_inode)
            break;
        end = stop;
    }
    free(line);
    fclose(maps);
    return end;
}

obcrash_error_t obcrash_nasync_macho_init(obcrash_async_macho_t* image, ob_task_t task, const char* name,
                                          ob_vm_address_t header_addr) {
    obcrash_async_memset(image, 0, sizeof(*image));
    image->task = task;
    image->header_addr = header_addr;
    image->name = strdup(name != NULL ? name : "");

    obcrash_error_t error = obcrash_async_task_memcpy(task, header_addr, 0, &image->header, sizeof(image->header));
    if (error != OBCRASH_OK) {
        error = OBCRASH_INTERNAL;
        goto fail;
    }
    switch (image->header.magic) {
    case OBCRASH_MH_MAGIC:
        image->m64 = false;
        image->byteorder = &obcrash_async_byteorder_direct;
        break;
    case OBCRASH_MH_MAGIC_64:
        image->m64 = true;
        image->byteorder = &obcrash_async_byteorder_direct;
        break;
    case OBCRASH_MH_CIGAM:
        image->m64 = false;
        image->byteorder = &obcrash_async_byteorder_swapped;
        break;
    case OBCRASH_MH_CIGAM_64:
        image->m64 = true;
        image->byteorder = &obcrash_async_byteorder_swapped;
        break;
    default: error = OBCRASH_INVALID_ARGUMENT; goto fail;
    }
    image->header_size = image->m64 ? 32 : 28;
    image->ncmds = image->byteorder->swap32(image->header.ncmds);

    ob_vm_address_t commands;
    if (!obcrash_async_address_apply_offset(header_addr, (ob_vm_off_t)image->header_size, &commands)) {
        error = OBCRASH_INVALID_ARGUMENT;
        goto fail;
    }
    error = obcrash_async_mobject_init(&image->load_cmds, task, commands,
                                       image->byteorder->swap32(image->header.sizeofcmds), true);
    if (error != OBCRASH_OK) goto fail;

    const uint32_t segment_cmd = image->m64 ? OBCRASH_LC_SEGMENT_64 : OBCRASH_LC_SEGMENT;
    const ob_vm_size_t segment_size = image->m64 ? SEGMENT_COMMAND_64_SIZE : SEGMENT_COMMAND_SIZE;
    bool found_text = false;
    for (const uint8_t* cmd = obcrash_async_macho_next_command_type(image, NULL, segment_cmd); cmd != NULL;
         cmd = obcrash_async_macho_next_command_type(image, cmd, segment_cmd)) {
        if (!verify(image, cmd, 0, segment_size)) {
            error = OBCRASH_INVALID_ARGUMENT;
            goto fail_mapped;
        }
        if (obcrash_async_strncmp((const char*)cmd + 8, "__TEXT", 16) != 0) continue;
        if (image->m64) {
            image->text_vmaddr = load64(image, cmd + 24);
            image->text_size = load64(image, cmd + 32);
        } else {
            image->text_vmaddr = load32(image, cmd + 24);
            image->text_size = load32(image, cmd + 28);
        }
        image->vmaddr_slide = (int64_t)(header_addr - image->text_vmaddr);
        found_text = true;
        break;
    }
    if (!found_text) {
        error = OBCRASH_INVALID_ARGUMENT;
        goto fail_mapped;
    }
    image->mapped_end = find_mapped_end(task, header_addr);
    return OBCRASH_OK;

fail_mapped:
    obcrash_async_mobject_free(&image->load_cmds);
fail:
    free(image->name);
    image->name = NULL;
    return error;
}

void obcrash_nasync_macho_free(obcrash_async_macho_t* image) {
    free(image->name);
    image->name = NULL;
    obcrash_async_mobject_free(&image->load_cmds);
}

const obcrash_async_byteorder_t* obcrash_async_macho_byteorder(const obcrash_async_macho_t* image) {
    return image->byteorder;
}

const obcrash_macho_header_t* obcrash_async_macho_header(const obcrash_async_macho_t* image) { return &image->header; }

ob_vm_size_t obcrash_async_macho_header_size(const obcrash_async_macho_t* image) { return image->header_size; }

uint32_t obcrash_async_macho_cpu_type(const obcrash_async_macho_t* image) {
    return image->byteorder->swap32((uint32_t)image->header.cputype);
}

uint32_t obcrash_async_macho_cpu_subtype(const obcrash_async_macho_t* image) {
    return image->byteorder->swap32((uint32_t)image->header.cpusubtype);
}

bool obcrash_async_macho_contains_address(const obcrash_async_macho_t* image, ob_vm_address_t address) {
    return address >= image->header_addr && address - image->header_addr < image->text_size;
}

void* obcrash_async_macho_next_command(const obcrash_async_macho_t* image, const void* previous) {
    if (previous == NULL) {
        if (image->byteorder->swap32(image->header.sizeofcmds) < 8) return NULL;
        return obcrash_async_mobject_remap_address(&image->load_cmds, image->header_addr + image->header_size, 0, 8);
    }
    if (!verify(image, previous, 0, 8)) return NULL;
    const uint32_t cmdsize = load32(image, (const uint8_t*)previous + 4);
    if (cmdsize < 8) return NULL;
    ob_vm_address_t next;
    if (!obcrash_async_address_apply_offset((uintptr_t)previous, cmdsize, &next)) return NULL;
    if (next >= (ob_vm_address_t)image->load_cmds.address + image->load_cmds.length) return NULL;
    const void* p = (const void*)(uintptr_t)next;
    if (!verify(image, p, 0, 8)) return NULL;
    if (!verify(image, p, 0, load32(image, (const uint8_t*)p + 4))) return NULL;
    return (void*)(uintptr_t)next;
}

void* obcrash_async_macho_next_command_type(const obcrash_async_macho_t* image, const void* previous,
                                            uint32_t expected_command) {
    const void* cmd = previous;
    while ((cmd = obcrash_async_macho_next_command(image, cmd)) != NULL) {
        if (load32(image, cmd) == expected_command) return (void*)cmd;
    }
    return NULL;
}

void* obcrash_async_macho_find_command(const obcrash_async_macho_t* image, uint32_t expected_command) {
    return obcrash_async_macho_next_command_type(image, NULL, expected_command);
}

void* obcrash_async_macho_find_segment_cmd(const obcrash_async_macho_t* image, const char* segname) {
    const uint32_t segment_cmd = image->m64 ? OBCRASH_LC_SEGMENT_64 : OBCRASH_LC_SEGMENT;
    const ob_vm_size_t segment_size = image->m64 ? SEGMENT_COMMAND_64_SIZE : SEGMENT_COMMAND_SIZE;
    for (const uint8_t* cmd = obcrash_async_macho_next_command_type(image, NULL, segment_cmd); cmd != NULL;
         cmd = obcrash_async_macho_next_command_type(image, cmd, segment_cmd)) {
        if (!verify(image, cmd, 0, segment_size)) return NULL;
        if (obcrash_async_strncmp((const char*)cmd + 8, segname, 16) == 0) return (void*)cmd;
    }
    return NULL;
}

/* vmaddr, vmsize, fileoff, filesize and nsects of a verified segment command. */
static void read_segment(const obcrash_async_macho_t* image, const uint8_t* cmd, uint64_t* vmaddr, uint64_t* vmsize,
                         uint64_t* fileoff, uint64_t* filesize, uint32_t* nsects) {
    if (image->m64) {
        *vmaddr = load64(image, cmd + 24);
        *vmsize = load64(image, cmd + 32);
        *fileoff = load64(image, cmd + 40);
        *filesize = load64(image, cmd + 48);
        *nsects = load32(image, cmd + 64);
    } else {
        *vmaddr = load32(image, cmd + 24);
        *vmsize = load32(image, cmd + 28);
        *fileoff = load32(image, cmd + 32);
        *filesize = load32(image, cmd + 36);
        *nsects = load32(image, cmd + 48);
    }
}

obcrash_error_t obcrash_async_macho_map_segment(const obcrash_async_macho_t* image, const char* segname,
                                                obcrash_async_macho_mapped_segment_t* segment) {
    const uint8_t* cmd = obcrash_async_macho_find_segment_cmd(image, segname);
    if (cmd == NULL) return OBCRASH_NOT_FOUND;
    uint64_t vmaddr, vmsize, fileoff, filesize;
    uint32_t nsects;
    read_segment(image, cmd, &vmaddr, &vmsize, &fileoff, &filesize, &nsects);
    const ob_vm_address_t start = vmaddr + (uint64_t)image->vmaddr_slide;
    /* A segment is at most what is mapped for the image: a damaged size would otherwise have any
     * amount of memory reserved and copied. */
    if (image->mapped_end != 0) {
        if (start < image->header_addr || start >= image->mapped_end) return OBCRASH_INVALID_DATA;
        if (vmsize > image->mapped_end - start) vmsize = image->mapped_end - start;
    }
    const obcrash_error_t error = obcrash_async_mobject_init(&segment->mobj, image->task, start, vmsize, false);
    if (error != OBCRASH_OK) return error;
    segment->fileoff = fileoff;
    segment->filesize = filesize;
    return OBCRASH_OK;
}

void obcrash_async_macho_mapped_segment_free(obcrash_async_macho_mapped_segment_t* segment) {
    obcrash_async_mobject_free(&segment->mobj);
}

obcrash_error_t obcrash_async_macho_map_section(const obcrash_async_macho_t* image, const char* segname,
                                                const char* sectname, obcrash_async_mobject_t* mobj) {
    const uint8_t* cmd = obcrash_async_macho_find_segment_cmd(image, segname);
    if (cmd == NULL) return OBCRASH_NOT_FOUND;
    uint64_t vmaddr, vmsize, fileoff, filesize;
    uint32_t nsects;
    read_segment(image, cmd, &vmaddr, &vmsize, &fileoff, &filesize, &nsects);
    if (nsects == 0) return OBCRASH_NOT_FOUND;

    const ob_vm_size_t command_size = image->m64 ? SEGMENT_COMMAND_64_SIZE : SEGMENT_COMMAND_SIZE;
    const ob_vm_size_t section_size = image->m64 ? SECTION_64_SIZE : SECTION_SIZE;
    for (uint32_t i = 0; i < nsects; ++i) {
        const ob_vm_off_t offset = (ob_vm_off_t)(command_size + (ob_vm_size_t)i * section_size);
        if (!verify(image, cmd, offset, section_size)) return OBCRASH_INVALID_ARGUMENT;
        const uint8_t* section = cmd + offset;
        if (obcrash_async_strncmp((const char*)section, sectname, 16) != 0) continue;
        const uint64_t addr = image->m64 ? load64(image, section + 32) : load32(image, section + 32);
        const uint64_t size = image->m64 ? load64(image, section + 40) : load32(image, section + 36);
        /* A section outside its segment is damaged data, and mapping it could copy any amount of
         * the process's memory. */
        if (addr < vmaddr || addr - vmaddr > vmsize || size > vmsize - (addr - vmaddr)) return OBCRASH_INVALID_DATA;
        const ob_vm_address_t start = addr + (uint64_t)image->vmaddr_slide;
        if (image->mapped_end != 0 &&
            (start < image->header_addr || start > image->mapped_end || size > image->mapped_end - start))
            return OBCRASH_INVALID_DATA;
        return obcrash_async_mobject_init(mobj, image->task, start, size, true);
    }
    return OBCRASH_NOT_FOUND;
}

obcrash_error_t obcrash_async_macho_symtab_reader_init(obcrash_async_macho_symtab_reader_t* reader,
                                                       obcrash_async_macho_t* image) {
    obcrash_async_memset(reader, 0, sizeof(*reader));
    reader->image = image;
    const uint8_t* symtab_cmd = obcrash_async_macho_find_command(image, OBCRASH_LC_SYMTAB);
    if (symtab_cmd == NULL) return OBCRASH_NOT_FOUND;
    if (!verify(image, symtab_cmd, 0, sizeof(obcrash_macho_symtab_command_t))) return OBCRASH_INVALID_ARGUMENT;
    const uint8_t* dysymtab_cmd = obcrash_async_macho_find_command(image, OBCRASH_LC_DYSYMTAB);
    if (dysymtab_cmd != NULL && !verify(image, dysymtab_cmd, 0, sizeof(obcrash_macho_dysymtab_command_t)))
        return OBCRASH_INVALID_ARGUMENT;

    if (obcrash_async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit) != OBCRASH_OK) return OBCRASH_INTERNAL;
    const obcrash_async_mobject_t* linkedit = &reader->linkedit.mobj;
    const ob_vm_address_t linkedit_addr = linkedit->task_address;
    const uint64_t fileoff = reader->linkedit.fileoff;

    obcrash_error_t error = OBCRASH_INTERNAL;
    const uint32_t symoff = load32(image, symtab_cmd + 8);
    const uint32_t nsyms = load32(image, symtab_cmd + 12);
    const uint32_t stroff = load32(image, symtab_cmd + 16);
    const uint32_t strsize = load32(image, symtab_cmd + 20);
    const uint64_t entry_size = image->m64 ? NLIST_64_SIZE : NLIST_SIZE;

    reader->symtab = obcrash_async_mobject_remap_address(linkedit, linkedit_addr, (ob_vm_off_t)(symoff - fileoff),
                                                         (uint64_t)nsyms * entry_size);
    if (reader->symtab == NULL) goto fail;
    reader->nsyms = nsyms;
    reader->string_table =
        obcrash_async_mobject_remap_address(linkedit, linkedit_addr, (ob_vm_off_t)(stroff - fileoff), strsize);
    if (reader->string_table == NULL) goto fail;
    reader->string_table_size = strsize;

    if (dysymtab_cmd != NULL) {
        const uint32_t ilocalsym = load32(image, dysymtab_cmd + 8);
        const uint32_t nlocalsym = load32(image, dysymtab_cmd + 12);
        const uint32_t iextdefsym = load32(image, dysymtab_cmd + 16);
        const uint32_t nextdefsym = load32(image, dysymtab_cmd + 20);
        uint32_t sum;
        if (__builtin_add_overflow(iextdefsym, nextdefsym, &sum) || sum > nsyms ||
            __builtin_add_overflow(ilocalsym, nlocalsym, &sum) || sum > nsyms) {
            error = OBCRASH_INVALID_ARGUMENT;
            goto fail;
        }
        reader->symtab_global = (uint8_t*)reader->symtab + iextdefsym * entry_size;
        reader->nsyms_global = nextdefsym;
        reader->symtab_local = (uint8_t*)reader->symtab + ilocalsym * entry_size;
        reader->nsyms_local = nlocalsym;
    }
    return OBCRASH_OK;

fail:
    obcrash_async_macho_mapped_segment_free(&reader->linkedit);
    return error;
}

obcrash_async_macho_symtab_entry_t obcrash_async_macho_symtab_reader_read(
    const obcrash_async_macho_symtab_reader_t* reader, const void* symtab, uint32_t index) {
    const obcrash_async_macho_t* image = reader->image;
    obcrash_async_macho_symtab_entry_t entry;
    const uint8_t* p = (const uint8_t*)symtab + (uint64_t)index * (image->m64 ? NLIST_64_SIZE : NLIST_SIZE);
    entry.n_strx = load32(image, p);
    entry.n_type = p[4];
    entry.n_sect = p[5];
    entry.n_desc = load16(image, p + 6);
    entry.n_value = image->m64 ? load64(image, p + 8) : load32(image, p + 8);
    entry.normalized_value = entry.n_value;
    if (entry.n_desc & OBCRASH_N_ARM_THUMB_DEF) entry.normalized_value |= 1;
    return entry;
}

const char* obcrash_async_macho_symtab_reader_symbol_name(const obcrash_async_macho_symtab_reader_t* reader,
                                                          uint32_t n_strx) {
    const obcrash_async_mobject_t* linkedit = &reader->linkedit.mobj;
    const uintptr_t start = (uintptr_t)reader->string_table;
    for (ob_vm_off_t offset = n_strx;; ++offset) {
        if (!obcrash_async_mobject_verify_local_pointer(linkedit, start, offset, 1)) return NULL;
        if (*(const char*)(start + (uintptr_t)offset) == '\0') break;
    }
    return (const char*)(start + n_strx);
}

void obcrash_async_macho_symtab_reader_free(obcrash_async_macho_symtab_reader_t* reader) {
    obcrash_async_macho_mapped_segment_free(&reader->linkedit);
}

/* Defined in a section of the image, and no debugging entry. */
static bool is_defined_symbol(const obcrash_async_macho_symtab_entry_t* entry) {
    return (entry->n_type & OBCRASH_N_TYPE) == OBCRASH_N_SECT && entry->n_type < 0x20;
}

obcrash_error_t obcrash_async_macho_find_symbol_by_name(obcrash_async_macho_t* image, const char* name,
                                                        ob_vm_address_t* address) {
    obcrash_async_macho_symtab_reader_t reader;
    obcrash_error_t error = obcrash_async_macho_symtab_reader_init(&reader, image);
    if (error != OBCRASH_OK) return error;
    error = OBCRASH_NOT_FOUND;
    for (uint32_t i = 0; i < reader.nsyms; ++i) {
        const obcrash_async_macho_symtab_entry_t entry =
            obcrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
        if (!is_defined_symbol(&entry)) continue;
        const char* symbol = obcrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx);
        if (symbol != NULL && obcrash_async_strcmp(symbol, name) == 0) {
            *address = (uint64_t)image->vmaddr_slide + entry.normalized_value;
            error = OBCRASH_OK;
            break;
        }
    }
    obcrash_async_macho_symtab_reader_free(&reader);
    return error;
}

/* Keeps in `best` the entry with the greatest value not above pc; the first one found wins a tie. */
static void search_table(const obcrash_async_macho_symtab_reader_t* reader, const void* table, uint32_t count,
                         uint64_t pc, obcrash_async_macho_symtab_entry_t* best, bool* found) {
    for (uint32_t i = 0; i < count; ++i) {
        const obcrash_async_macho_symtab_entry_t entry = obcrash_async_macho_symtab_reader_read(reader, table, i);
        if (!is_defined_symbol(&entry) || entry.n_value > pc) continue;
        if (!*found || entry.n_value > best->n_value) {
            *best = entry;
            *found = true;
        }
    }
}

obcrash_error_t obcrash_async_macho_find_symbol_by_pc(obcrash_async_macho_t* image, ob_vm_address_t pc,
                                                      obcrash_async_macho_found_symbol_cb callback, void* context) {
    obcrash_async_macho_symtab_reader_t reader;
    obcrash_error_t error = obcrash_async_macho_symtab_reader_init(&reader, image);
    if (error != OBCRASH_OK) return error;
    const uint64_t image_pc = pc - (uint64_t)image->vmaddr_slide;
    obcrash_async_macho_symtab_entry_t best;
    bool found = false;
    if (reader.symtab_global != NULL && reader.symtab_local != NULL) {
        search_table(&reader, reader.symtab_global, reader.nsyms_global, image_pc, &best, &found);
        search_table(&reader, reader.symtab_local, reader.nsyms_local, image_pc, &best, &found);
    } else {
        search_table(&reader, reader.symtab, reader.nsyms, image_pc, &best, &found);
    }
    if (!found) {
        error = OBCRASH_NOT_FOUND;
    } else {
        const char* name = obcrash_async_macho_symtab_reader_symbol_name(&reader, best.n_strx);
        if (name == NULL) {
            error = OBCRASH_INVALID_ARGUMENT;
        } else {
            callback((uint64_t)image->vmaddr_slide + best.normalized_value, name, context);
            error = OBCRASH_OK;
        }
    }
    obcrash_async_macho_symtab_reader_free(&reader);
    return error;
}

obcrash_error_t obcrash_async_macho_string_init(obcrash_async_macho_string_t* string, obcrash_async_macho_t* image,
                                                ob_vm_address_t address) {
    obcrash_async_memset(string, 0, sizeof(*string));
    string->image = image;
    string->address = address;
    return OBCRASH_OK;
}

static obcrash_error_t map_string(obcrash_async_macho_string_t* string) {
    if (string->mapped) return OBCRASH_OK;
    const ob_vm_size_t page_size = (ob_vm_size_t)getpagesize();
    obcrash_error_t error =
        obcrash_async_mobject_init(&string->mobj, string->image->task, string->address, page_size, false);
    if (error != OBCRASH_OK) return error;
    ob_vm_size_t extent = page_size;
    for (ob_vm_size_t i = 0;; ++i) {
        const char* p = obcrash_async_mobject_remap_address(&string->mobj, string->address, (ob_vm_off_t)i, 1);
        if (p == NULL) {
            /* The string goes on past the mapping: one more page, then give up. */
            obcrash_async_mobject_free(&string->mobj);
            extent += page_size;
            error = obcrash_async_mobject_init(&string->mobj, string->image->task, string->address, extent, false);
            if (error != OBCRASH_OK) return error;
            p = obcrash_async_mobject_remap_address(&string->mobj, string->address, (ob_vm_off_t)i, 1);
            if (p == NULL) {
                obcrash_async_mobject_free(&string->mobj);
                return OBCRASH_INVALID_ARGUMENT;
            }
        }
        if (*p == '\0') {
            string->length = i;
            break;
        }
    }
    string->mapped = true;
    return OBCRASH_OK;
}

obcrash_error_t obcrash_async_macho_string_get_length(obcrash_async_macho_string_t* string, ob_vm_size_t* length) {
    const obcrash_error_t error = map_string(string);
    if (error != OBCRASH_OK) return error;
    *length = string->length;
    return OBCRASH_OK;
}

obcrash_error_t obcrash_async_macho_string_get_pointer(obcrash_async_macho_string_t* string, const char** pointer) {
    const obcrash_error_t error = map_string(string);
    if (error != OBCRASH_OK) return error;
    const char* p = obcrash_async_mobject_remap_address(&string->mobj, string->address, 0, string->length + 1);
    if (p == NULL) return OBCRASH_ACCESS_DENIED;
    *pointer = p;
    return OBCRASH_OK;
}

void obcrash_async_macho_string_free(obcrash_async_macho_string_t* string) {
    if (string->mapped) obcrash_async_mobject_free(&string->mobj);
    string->mapped = false;
}
