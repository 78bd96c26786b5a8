#pragma once
// What the unwinding tests share: a byte range of this process seen through a memory object, and
// room for a damaged section whose last byte is followed by an unreadable page.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "crashreporter/OBCrashAsyncMObject.h"

namespace unwindtest {

inline const obcrash_async_byteorder_t* little() { return obcrash_async_byteorder_little_endian(); }

class Mapped {
public:
    Mapped(const void* data, size_t length) {
        ok_ = obcrash_async_mobject_init(&mobj_, ob_mach_task_self(), reinterpret_cast<uintptr_t>(data), length,
                                         true) == OBCRASH_OK;
    }
    ~Mapped() {
        if (ok_) obcrash_async_mobject_free(&mobj_);
    }
    Mapped(const Mapped&) = delete;
    Mapped& operator=(const Mapped&) = delete;
    bool ok() const { return ok_; }
    obcrash_async_mobject_t* get() { return &mobj_; }
    ob_vm_address_t base() const { return obcrash_async_mobject_base_address(&mobj_); }

private:
    obcrash_async_mobject_t mobj_{};
    bool ok_ = false;
};

class GuardedArea {
public:
    explicit GuardedArea(size_t capacity) {
        const size_t page = static_cast<size_t>(getpagesize());
        pages_ = (capacity + page - 1) / page + 1;
        void* area = mmap(nullptr, pages_ * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED) return;
        area_ = static_cast<uint8_t*>(area);
        end_ = area_ + (pages_ - 1) * page;
        mprotect(end_, page, PROT_NONE);
    }
    ~GuardedArea() {
        if (area_ != nullptr) munmap(area_, pages_ * static_cast<size_t>(getpagesize()));
    }
    bool ok() const { return area_ != nullptr; }
    // Copies `length` bytes so that they end at the unreadable page; returns where they start.
    uint8_t* place(const void* bytes, size_t length) {
        std::memcpy(end_ - length, bytes, length);
        return end_ - length;
    }

private:
    uint8_t* area_ = nullptr;
    uint8_t* end_ = nullptr;
    size_t pages_ = 0;
};

}  // namespace unwindtest
