#define _GNU_SOURCE
#include "OBCrashAsyncElf.h"

#include <elf.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "OBCrashAsyncByteOrder.h"
#include "OBCrashAsyncThreadState.h"

static uint32_t cpu_type_for_machine(uint16_t machine) {
    switch (machine) {
    case EM_X86_64: return CPU_TYPE_X86_64;
    case EM_AARCH64: return CPU_TYPE_ARM64;
    case EM_386: return CPU_TYPE_X86;
    case EM_ARM: return CPU_TYPE_ARM;
    default: return 0;
    }
}

/* Reads memory of this process without trusting it to be there. */
static bool read_bytes(ob_task_t task, ob_vm_address_t address, void* dest, ob_vm_size_t length) {
    return obcrash_async_task_memcpy(task, address, 0, dest, length) == OBCRASH_OK;
}

static uint32_t align4(uint32_t value) { return (value + 3u) & ~3u; }

static void read_build_id(obcrash_async_elf_t* image, ob_vm_address_t notes, ob_vm_size_t size) {
    ob_vm_size_t offset = 0;
    while (offset + sizeof(Elf64_Nhdr) <= size) {
        Elf64_Nhdr note;
        if (!read_bytes(image->task, notes + offset, &note, sizeof(note))) return;
        const ob_vm_size_t name_at = offset + sizeof(note);
        const ob_vm_size_t desc_at = name_at + align4(note.n_namesz);
        const ob_vm_size_t next = desc_at + align4(note.n_descsz);
        if (note.n_namesz > size || note.n_descsz > size || next > size) return;
        char name[4];
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && read_bytes(image->task, notes + name_at, name, 4) &&
            memcmp(name, "GNU", 4) == 0) {
            /* The record keeps 16 bytes; a shorter id is padded with zeros. */
            const ob_vm_size_t length = note.n_descsz < 16 ? note.n_descsz : 16;
            memset(image->uuid, 0, sizeof(image->uuid));
            if (read_bytes(image->task, notes + desc_at, image->uuid, length)) image->has_uuid = true;
            return;
        }
        offset = next;
    }
}

/* A pointer of the .eh_frame_hdr, decoded by its DW_EH_PE encoding; false for encodings it does
 * not use in practice. */
static bool read_encoded(ob_task_t task, ob_vm_address_t field, ob_vm_address_t data_base, uint8_t encoding,
                         ob_vm_address_t* value) {
    uint64_t raw = 0;
    switch (encoding & 0x0f) {
    case 0x00:
    case 0x04:
    case 0x0c:
        if (!read_bytes(task, field, &raw, 8)) return false;
        break;
    case 0x03: {
        uint32_t v;
        if (!read_bytes(task, field, &v, 4)) return false;
        raw = v;
        break;
    }
    case 0x0b: {
        int32_t v;
        if (!read_bytes(task, field, &v, 4)) return false;
        raw = (uint64_t)(int64_t)v;
        break;
    }
    default: return false;
    }
    switch (encoding & 0x70) {
    case 0x00: *value = raw; return true;
    case 0x10: *value = field + raw; return true;
    case 0x30: *value = data_base + raw; return true;
    default: return false;
    }
}

/* The length of the .eh_frame records up to and with the zero terminator, or 0 when none lies
 * before `limit`. */
static ob_vm_size_t eh_frame_extent(ob_task_t task, ob_vm_address_t start, ob_vm_size_t limit) {
    ob_vm_size_t offset = 0;
    while (offset + 4 <= limit) {
        uint32_t length;
        if (!read_bytes(task, start + offset, &length, 4)) return 0;
        if (length == 0) return offset + 4;
        ob_vm_size_t record = 4 + (ob_vm_size_t)length;
        if (length == 0xffffffffu) {
            uint64_t extended;
            if (offset + 12 > limit || !read_bytes(task, start + offset + 4, &extended, 8)) return 0;
            if (extended > limit) return 0;
            record = 12 + extended;
        }
        if (record > limit - offset) return 0;
        offset += record;
    }
    return 0;
}

static void find_eh_frame(obcrash_async_elf_t* image, ob_vm_address_t header, const struct dl_phdr_info* info) {
    uint8_t fields[4];
    if (!read_bytes(image->task, header, fields, sizeof(fields)) || fields[0] != 1 || fields[1] == 0xff) return;
    ob_vm_address_t eh_frame;
    if (!read_encoded(image->task, header + 4, header, fields[1], &eh_frame)) return;
    /* Up to the end of the segment that holds it; the walk of its records stops at the terminator,
     * which usually comes earlier and is the section's own end. */
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)* phdr = &info->dlpi_phdr[i];
        if (phdr->p_type != PT_LOAD) continue;
        const ob_vm_address_t start = info->dlpi_addr + phdr->p_vaddr;
        if (eh_frame < start || eh_frame - start >= phdr->p_memsz) continue;
        const ob_vm_size_t to_end = start + phdr->p_memsz - eh_frame;
        const ob_vm_size_t extent = eh_frame_extent(image->task, eh_frame, to_end);
        image->eh_frame.address = eh_frame;
        image->eh_frame.size = extent != 0 ? extent : to_end;
        return;
    }
}

obcrash_error_t obcrash_nasync_elf_init(obcrash_async_elf_t* image, ob_task_t task, const struct dl_phdr_info* info,
                                        const char* name) {
    obcrash_async_memset(image, 0, sizeof(*image));
    image->task = task;
    image->load_bias = info->dlpi_addr;
    const ob_vm_address_t page_mask = (ob_vm_address_t)getpagesize() - 1;
    ob_vm_address_t low = UINT64_MAX;
    ob_vm_address_t high = 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)* phdr = &info->dlpi_phdr[i];
        if (phdr->p_type != PT_LOAD) continue;
        const ob_vm_address_t start = info->dlpi_addr + phdr->p_vaddr;
        if (start < low) low = start;
        if (start + phdr->p_memsz > high) high = start + phdr->p_memsz;
        if ((phdr->p_flags & PF_R) && image->readable_count < OBCRASH_ELF_MAX_SEGMENTS) {
            image->readable[image->readable_count].address = start;
            image->readable[image->readable_count].size = phdr->p_memsz;
            ++image->readable_count;
        }
    }
    if (high == 0) return OBCRASH_INVALID_DATA;
    image->header_addr = low & ~page_mask;
    image->text_size = ((high + page_mask) & ~page_mask) - image->header_addr;

    ElfW(Ehdr) header;
    if (read_bytes(task, image->header_addr, &header, sizeof(header)) && memcmp(header.e_ident, ELFMAG, SELFMAG) == 0)
        image->cpu_type = cpu_type_for_machine(header.e_machine);

    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)* phdr = &info->dlpi_phdr[i];
        if (phdr->p_type == PT_NOTE && !image->has_uuid) {
            read_build_id(image, info->dlpi_addr + phdr->p_vaddr, phdr->p_memsz);
        } else if (phdr->p_type == PT_DYNAMIC) {
            image->dynamic.address = info->dlpi_addr + phdr->p_vaddr;
            image->dynamic.size = phdr->p_memsz;
        } else if (phdr->p_type == PT_GNU_EH_FRAME) {
            find_eh_frame(image, info->dlpi_addr + phdr->p_vaddr, info);
        }
    }
    image->name = strdup(name != NULL ? name : (info->dlpi_name != NULL ? info->dlpi_name : ""));
    return OBCRASH_OK;
}

void obcrash_nasync_elf_free(obcrash_async_elf_t* image) {
    free(image->name);
    image->name = NULL;
}

bool obcrash_async_elf_contains_address(const obcrash_async_elf_t* image, ob_vm_address_t address) {
    return address >= image->header_addr && address - image->header_addr < image->text_size;
}

bool obcrash_async_elf_readable_contains(const obcrash_async_elf_t* image, ob_vm_address_t address,
                                         ob_vm_size_t length) {
    for (uint32_t i = 0; i < image->readable_count; ++i) {
        const obcrash_async_elf_range_t* range = &image->readable[i];
        if (address >= range->address && address - range->address <= range->size &&
            length <= range->size - (address - range->address))
            return true;
    }
    return false;
}

obcrash_error_t obcrash_async_elf_map_section(const obcrash_async_elf_t* image, const char* segname,
                                              const char* sectname, obcrash_async_mobject_t* mobj) {
    if (obcrash_async_strcmp(segname, "__TEXT") != 0 || obcrash_async_strcmp(sectname, "__eh_frame") != 0 ||
        image->eh_frame.size == 0)
        return OBCRASH_NOT_FOUND;
    return obcrash_async_mobject_init(mobj, image->task, image->eh_frame.address, image->eh_frame.size, true);
}

/* Entries read from the dynamic section at a time, and hash buckets likewise. */
#define DYNAMIC_BATCH 16
#define BUCKET_BATCH 64
/* Beyond any real table: a chain that long is damaged data. */
#define MAX_SYMBOLS (1u << 24)

typedef struct {
    ob_vm_address_t symtab, strtab, hash, gnu_hash;
    ob_vm_size_t strsz, syment;
} dynamic_tables_t;

/* The loader relocates the dynamic section's addresses in place on most targets, but not on all,
 * nor in the vDSO: an address outside the image is taken as unrelocated. */
static ob_vm_address_t relocate(const obcrash_async_elf_t* image, ob_vm_address_t value) {
    if (value == 0 || obcrash_async_elf_contains_address(image, value)) return value;
    return value + image->load_bias;
}

static bool read_dynamic(const obcrash_async_elf_t* image, dynamic_tables_t* tables) {
    obcrash_async_memset(tables, 0, sizeof(*tables));
    const ob_vm_size_t count = image->dynamic.size / sizeof(ElfW(Dyn));
    ElfW(Dyn) batch[DYNAMIC_BATCH];
    for (ob_vm_size_t at = 0; at < count; at += DYNAMIC_BATCH) {
        const ob_vm_size_t n = count - at < DYNAMIC_BATCH ? count - at : DYNAMIC_BATCH;
        if (!read_bytes(image->task, image->dynamic.address + at * sizeof(ElfW(Dyn)), batch, n * sizeof(ElfW(Dyn))))
            return false;
        for (ob_vm_size_t i = 0; i < n; ++i) {
            const ElfW(Dyn)* entry = &batch[i];
            switch (entry->d_tag) {
            case DT_NULL: goto done;
            case DT_SYMTAB: tables->symtab = relocate(image, entry->d_un.d_ptr); break;
            case DT_STRTAB: tables->strtab = relocate(image, entry->d_un.d_ptr); break;
            case DT_HASH: tables->hash = relocate(image, entry->d_un.d_ptr); break;
            case DT_GNU_HASH: tables->gnu_hash = relocate(image, entry->d_un.d_ptr); break;
            case DT_STRSZ: tables->strsz = entry->d_un.d_val; break;
            case DT_SYMENT: tables->syment = entry->d_un.d_val; break;
            default: break;
            }
        }
    }
done:
    return tables->symtab != 0 && tables->strtab != 0 && tables->strsz != 0 &&
           (tables->hash != 0 || tables->gnu_hash != 0);
}

/* The number of dynamic symbols: DT_HASH states it; DT_GNU_HASH has it end with the last chain of
 * the highest bucket. 0 on damaged data. */
static uint32_t symbol_count(const obcrash_async_elf_t* image, const dynamic_tables_t* tables) {
    uint32_t header[4];
    if (tables->hash != 0) {
        if (!read_bytes(image->task, tables->hash, header, 8)) return 0;
        return header[1] <= MAX_SYMBOLS ? header[1] : 0;
    }
    if (!read_bytes(image->task, tables->gnu_hash, header, sizeof(header))) return 0;
    const uint32_t nbuckets = header[0], symoffset = header[1], bloom_size = header[2];
    if (nbuckets > MAX_SYMBOLS || bloom_size > MAX_SYMBOLS || symoffset > MAX_SYMBOLS) return 0;
    const ob_vm_address_t buckets = tables->gnu_hash + sizeof(header) + (ob_vm_size_t)bloom_size * sizeof(ElfW(Addr));
    uint32_t highest = 0;
    uint32_t batch[BUCKET_BATCH];
    for (uint32_t at = 0; at < nbuckets; at += BUCKET_BATCH) {
        const uint32_t n = nbuckets - at < BUCKET_BATCH ? nbuckets - at : BUCKET_BATCH;
        if (!read_bytes(image->task, buckets + (ob_vm_size_t)at * 4, batch, (ob_vm_size_t)n * 4)) return 0;
        for (uint32_t i = 0; i < n; ++i)
            if (batch[i] > highest) highest = batch[i];
    }
    if (highest < symoffset) return symoffset;
    const ob_vm_address_t chains = buckets + (ob_vm_size_t)nbuckets * 4;
    for (uint32_t index = highest; index < MAX_SYMBOLS; ++index) {
        uint32_t hash;
        if (!read_bytes(image->task, chains + (ob_vm_size_t)(index - symoffset) * 4, &hash, 4)) return 0;
        if (hash & 1) return index + 1;
    }
    return 0;
}

static bool is_code_or_data(const ElfW(Sym) * symbol) {
    if (symbol->st_shndx == SHN_UNDEF || symbol->st_shndx == SHN_ABS) return false;
    switch (ELF64_ST_TYPE(symbol->st_info)) {
    case STT_NOTYPE:
    case STT_OBJECT:
    case STT_FUNC:
    case STT_GNU_IFUNC: return true;
    default: return false; /* sections, files, and TLS offsets that are no addresses */
    }
}

static bool is_function(const ElfW(Sym) * symbol) {
    const unsigned type = ELF64_ST_TYPE(symbol->st_info);
    return type == STT_FUNC || type == STT_GNU_IFUNC;
}

obcrash_error_t obcrash_async_elf_find_symbol_by_pc(const obcrash_async_elf_t* image, ob_vm_address_t pc,
                                                    obcrash_async_elf_found_symbol_cb callback, void* context) {
    if (image->dynamic.size == 0) return OBCRASH_NOT_FOUND;
    dynamic_tables_t tables;
    if (!read_dynamic(image, &tables)) return OBCRASH_NOT_FOUND;
    if (tables.syment != 0 && tables.syment != sizeof(ElfW(Sym))) return OBCRASH_INVALID_DATA;
    const uint32_t count = symbol_count(image, &tables);
    if (count == 0) return OBCRASH_INVALID_DATA;

    obcrash_async_mobject_t symbols, strings;
    obcrash_error_t error =
        obcrash_async_mobject_init(&symbols, image->task, tables.symtab, (ob_vm_size_t)count * sizeof(ElfW(Sym)), true);
    if (error != OBCRASH_OK) return OBCRASH_INVALID_DATA;
    error = obcrash_async_mobject_init(&strings, image->task, tables.strtab, tables.strsz, true);
    if (error != OBCRASH_OK) {
        obcrash_async_mobject_free(&symbols);
        return OBCRASH_INVALID_DATA;
    }

    const ElfW(Sym)* table = (const ElfW(Sym)*)symbols.address;
    bool found = false;
    ElfW(Sym) best;
    ob_vm_address_t best_address = 0;
    for (uint32_t i = 0; i < count; ++i) {
        ElfW(Sym) symbol;
        obcrash_async_memcpy(&symbol, &table[i], sizeof(symbol));
        if (!is_code_or_data(&symbol)) continue;
        const ob_vm_address_t address = image->load_bias + symbol.st_value;
        if (address > pc) continue;
        const bool covers = symbol.st_size != 0 ? pc - address < symbol.st_size : is_function(&symbol);
        if (!covers || (found && address <= best_address)) continue;
        best = symbol;
        best_address = address;
        found = true;
    }

    error = OBCRASH_NOT_FOUND;
    if (found) {
        error = OBCRASH_INVALID_DATA;
        const char* name = NULL;
        for (ob_vm_size_t at = best.st_name; at < tables.strsz; ++at) {
            const char* c = obcrash_async_mobject_remap_address(&strings, tables.strtab, (ob_vm_off_t)at, 1);
            if (c == NULL) break;
            if (*c == '\0') {
                name = obcrash_async_mobject_remap_address(&strings, tables.strtab, (ob_vm_off_t)best.st_name, 1);
                break;
            }
        }
        if (name != NULL) {
            callback(best_address, name, context);
            error = OBCRASH_OK;
        }
    }
    obcrash_async_mobject_free(&strings);
    obcrash_async_mobject_free(&symbols);
    return error;
}
