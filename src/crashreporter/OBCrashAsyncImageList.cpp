#include "OBCrashAsyncImageList.h"

#include <cstdlib>
#include <vector>

#include "OBCrashAsyncList.hpp"

namespace {

using ImageList = obcrash::OB::async::async_list<obcrash_async_image_t*>;

struct Storage {
    ImageList images;
    /* Records of removed images whose nodes were reused: a reader may still hold them, so they
     * live as long as the list. */
    std::vector<obcrash_async_image_t*> displaced;
};

Storage& storage(const obcrash_async_image_list_t* list) { return *static_cast<Storage*>(list->list); }

void release_image(obcrash_async_image_t* image) {
    if (image == nullptr) return;
    if (image->kind == OBCRASH_IMAGE_MACHO) {
        obcrash_nasync_macho_free(&image->macho);
    } else {
        obcrash_nasync_elf_free(&image->elf);
    }
    std::free(image);
}

void append_image(obcrash_async_image_list_t* list, obcrash_async_image_t* image) {
    Storage& s = storage(list);
    s.images.nasync_append(image, &s.displaced);
}

bool readable_in_listed_image(void* context, ob_vm_address_t address, ob_vm_size_t length) {
    auto* list = static_cast<obcrash_async_image_list_t*>(context);
    bool found = false;
    obcrash_async_image_list_set_reading(list, true);
    for (obcrash_async_image_t* image = obcrash_async_image_list_next(list, nullptr); image != nullptr && !found;
         image = obcrash_async_image_list_next(list, image)) {
        found = image->kind == OBCRASH_IMAGE_ELF && obcrash_async_elf_readable_contains(&image->elf, address, length);
    }
    obcrash_async_image_list_set_reading(list, false);
    return found;
}

}  // namespace

extern "C" {

void obcrash_nasync_image_list_init(obcrash_async_image_list_t* list, ob_task_t task) {
    list->task = task;
    list->list = new Storage;
    list->in_place_source.contains = readable_in_listed_image;
    list->in_place_source.context = list;
}

void obcrash_nasync_image_list_append(obcrash_async_image_list_t* list, ob_vm_address_t header_address,
                                      const char* name) {
    auto* image = static_cast<obcrash_async_image_t*>(std::calloc(1, sizeof(obcrash_async_image_t)));
    image->kind = OBCRASH_IMAGE_MACHO;
    if (obcrash_nasync_macho_init(&image->macho, list->task, name, header_address) != OBCRASH_OK) {
        std::free(image);
        return;
    }
    append_image(list, image);
}

void obcrash_nasync_image_list_append_elf(obcrash_async_image_list_t* list, const struct dl_phdr_info* info,
                                          const char* name) {
    auto* image = static_cast<obcrash_async_image_t*>(std::calloc(1, sizeof(obcrash_async_image_t)));
    image->kind = OBCRASH_IMAGE_ELF;
    if (obcrash_nasync_elf_init(&image->elf, list->task, info, name) != OBCRASH_OK) {
        std::free(image);
        return;
    }
    append_image(list, image);
}

void obcrash_nasync_image_list_remove(obcrash_async_image_list_t* list, ob_vm_address_t header_address) {
    ImageList& images = storage(list).images;
    obcrash_async_image_list_set_reading(list, true);
    for (ImageList::node* n = images.head.load(); n != nullptr; n = n->next.load()) {
        if (obcrash_async_image_header_addr(n->value) == header_address) {
            images.nasync_remove_node(n);
            break;
        }
    }
    obcrash_async_image_list_set_reading(list, false);
}

void obcrash_nasync_image_list_serve_in_place_reads(obcrash_async_image_list_t* list, bool enable) {
    obcrash_nasync_mobject_set_in_place_source(enable ? &list->in_place_source : nullptr);
}

void obcrash_nasync_image_list_free(obcrash_async_image_list_t* list) {
    Storage* s = static_cast<Storage*>(list->list);
    obcrash_async_image_list_set_reading(list, true);
    for (ImageList::node* n = s->images.head.load(); n != nullptr; n = n->next.load()) release_image(n->value);
    // Removed images still sitting in free nodes.
    for (ImageList::node* n = s->images.free; n != nullptr; n = n->next.load()) release_image(n->value);
    for (obcrash_async_image_t* image : s->displaced) release_image(image);
    obcrash_async_image_list_set_reading(list, false);
    delete s;
    list->list = nullptr;
}

void obcrash_async_image_list_set_reading(obcrash_async_image_list_t* list, bool enable) {
    storage(list).images.set_reading(enable);
}

obcrash_async_image_t* obcrash_async_image_list_next(obcrash_async_image_list_t* list, obcrash_async_image_t* current) {
    ImageList& images = storage(list).images;
    ImageList::node* n;
    void* current_node = current != nullptr ? __atomic_load_n(&current->node, __ATOMIC_SEQ_CST) : nullptr;
    if (current_node == nullptr) {
        n = images.head.load();
    } else {
        n = static_cast<ImageList::node*>(current_node)->next.load();
    }
    if (n == nullptr) return nullptr;
    obcrash_async_image_t* image = n->value;
    __atomic_store_n(&image->node, static_cast<void*>(n), __ATOMIC_SEQ_CST);
    return image;
}

obcrash_async_image_t* obcrash_async_image_containing_address(obcrash_async_image_list_t* list,
                                                              ob_vm_address_t address) {
    for (obcrash_async_image_t* image = obcrash_async_image_list_next(list, nullptr); image != nullptr;
         image = obcrash_async_image_list_next(list, image)) {
        if (obcrash_async_image_contains_address(image, address)) return image;
    }
    return nullptr;
}

ob_vm_address_t obcrash_async_image_header_addr(const obcrash_async_image_t* image) {
    return image->kind == OBCRASH_IMAGE_MACHO ? image->macho.header_addr : image->elf.header_addr;
}

const char* obcrash_async_image_name(const obcrash_async_image_t* image) {
    return image->kind == OBCRASH_IMAGE_MACHO ? image->macho.name : image->elf.name;
}

ob_vm_size_t obcrash_async_image_text_size(const obcrash_async_image_t* image) {
    return image->kind == OBCRASH_IMAGE_MACHO ? image->macho.text_size : image->elf.text_size;
}

uint32_t obcrash_async_image_cpu_type(const obcrash_async_image_t* image) {
    return image->kind == OBCRASH_IMAGE_MACHO ? obcrash_async_macho_cpu_type(&image->macho) : image->elf.cpu_type;
}

bool obcrash_async_image_contains_address(const obcrash_async_image_t* image, ob_vm_address_t address) {
    return image->kind == OBCRASH_IMAGE_MACHO ? obcrash_async_macho_contains_address(&image->macho, address)
                                              : obcrash_async_elf_contains_address(&image->elf, address);
}

bool obcrash_async_image_uuid(const obcrash_async_image_t* image, uint8_t uuid[16]) {
    if (image->kind == OBCRASH_IMAGE_ELF) {
        if (!image->elf.has_uuid) return false;
        obcrash_async_memcpy(uuid, image->elf.uuid, 16);
        return true;
    }
    const auto* cmd = static_cast<const uint8_t*>(obcrash_async_macho_find_command(&image->macho, OBCRASH_LC_UUID));
    if (cmd == nullptr ||
        !obcrash_async_mobject_verify_local_pointer(&image->macho.load_cmds, reinterpret_cast<uintptr_t>(cmd), 0,
                                                    sizeof(obcrash_macho_uuid_command_t)))
        return false;
    obcrash_async_memcpy(uuid, cmd + 8, 16);
    return true;
}

obcrash_error_t obcrash_async_image_map_section(const obcrash_async_image_t* image, const char* segname,
                                                const char* sectname, obcrash_async_mobject_t* mobj) {
    return image->kind == OBCRASH_IMAGE_MACHO ? obcrash_async_macho_map_section(&image->macho, segname, sectname, mobj)
                                              : obcrash_async_elf_map_section(&image->elf, segname, sectname, mobj);
}

}  // extern "C"
