#include "OBCrashImageTracker.h"

#include <link.h>
#include <pthread.h>
#include <unistd.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace obcrash {

namespace {

struct LoadedObject {
    ob_vm_address_t headerAddr;
    std::string name;
};

/* Where an object's ELF header lies, computed as the ELF image record does. */
ob_vm_address_t headerAddress(const dl_phdr_info* info) {
    ob_vm_address_t low = UINT64_MAX;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type != PT_LOAD) continue;
        const ob_vm_address_t start = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
        if (start < low) low = start;
    }
    return low == UINT64_MAX ? 0 : low & ~(static_cast<ob_vm_address_t>(getpagesize()) - 1);
}

std::string readProgramName() {
    std::string path(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    path.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return path;
}

}  // namespace

ImageTracker::ImageTracker(obcrash_async_image_list_t& list) : list_(list), programName_(readProgramName()) {}

ImageTracker::~ImageTracker() { stop(); }

ImageTracker::Counters ImageTracker::loaderCounters() {
    Counters counters;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t size, void* data) {
            if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs)) {
                *static_cast<Counters*>(data) = {info->dlpi_adds, info->dlpi_subs};
            }
            return 1;
        },
        &counters);
    return counters;
}

void ImageTracker::sync() {
    std::lock_guard guard(syncMutex_);
    std::vector<LoadedObject> listed;
    obcrash_async_image_list_set_reading(&list_, true);
    for (obcrash_async_image_t* image = obcrash_async_image_list_next(&list_, nullptr); image != nullptr;
         image = obcrash_async_image_list_next(&list_, image)) {
        if (image->kind == OBCRASH_IMAGE_ELF)
            listed.push_back({obcrash_async_image_header_addr(image), obcrash_async_image_name(image)});
    }
    obcrash_async_image_list_set_reading(&list_, false);

    struct Walk {
        ImageTracker* tracker;
        std::vector<LoadedObject>* listed;
        std::vector<bool> present;
        Counters counters;
        bool first = true;
    } walk{this, &listed, std::vector<bool>(listed.size(), false), {}};

    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t size, void* data) {
            auto& walk = *static_cast<Walk*>(data);
            if (walk.first && size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs)) {
                walk.counters = {info->dlpi_adds, info->dlpi_subs};
            }
            // The loader names the main program "", and lists it first.
            const bool isProgram = walk.first;
            walk.first = false;
            const std::string name = isProgram && (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0')
                                         ? walk.tracker->programName_
                                         : std::string(info->dlpi_name != nullptr ? info->dlpi_name : "");
            const ob_vm_address_t header = headerAddress(info);
            for (size_t i = 0; i < walk.listed->size(); ++i) {
                if ((*walk.listed)[i].headerAddr == header && (*walk.listed)[i].name == name) {
                    walk.present[i] = true;
                    return 0;
                }
            }
            obcrash_nasync_image_list_append_elf(&walk.tracker->list_, info, name.c_str());
            return 0;
        },
        &walk);

    for (size_t i = 0; i < listed.size(); ++i) {
        if (!walk.present[i]) obcrash_nasync_image_list_remove(&list_, listed[i].headerAddr);
    }
    lastSeen_ = walk.counters;
    synced_ = true;
}

bool ImageTracker::syncIfChanged() {
    {
        std::lock_guard guard(syncMutex_);
        if (synced_ && loaderCounters() == lastSeen_) return false;
    }
    sync();
    return true;
}

void ImageTracker::start(std::chrono::milliseconds interval) {
    std::lock_guard guard(stateMutex_);
    if (thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this, interval] { run(interval); });
}

void ImageTracker::stop() {
    {
        std::lock_guard guard(stateMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ImageTracker::run(std::chrono::milliseconds interval) {
    pthread_setname_np(pthread_self(), "obcrash.images");
    std::unique_lock lock(stateMutex_);
    while (!wake_.wait_for(lock, interval, [this] { return stopping_; })) {
        lock.unlock();
        syncIfChanged();
        lock.lock();
    }
}

}  // namespace obcrash
