#pragma once
// What the unwinding tests share: a byte range of this process seen through a memory object,
// room for a damaged section whose last byte is followed by an unreadable page, and Mach-O files
// placed in this process.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

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

// A Mach-O file's bytes, its sections, and optionally its image placed at its link address.
class MachOFile {
public:
    struct Section {
        uint64_t addr = 0, size = 0, offset = 0;
    };

    explicit MachOFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (bytes_.size() < 32) return;
        cpuType_ = word(4);
        const uint32_t ncmds = word(16);
        for (size_t at = 32, i = 0; i < ncmds && at + 8 <= bytes_.size(); ++i, at += word(at + 4)) {
            if (word(at) != 0x19) continue;  // LC_SEGMENT_64
            const std::string segment(reinterpret_cast<const char*>(&bytes_[at + 8]));
            Segment s{quad(at + 24), quad(at + 32), quad(at + 40), quad(at + 48)};
            if (segment != "__PAGEZERO") segments_.push_back(s);
            const uint32_t nsects = word(at + 64);
            for (uint32_t k = 0; k < nsects; ++k) {
                const size_t sect = at + 72 + k * 80;
                const std::string name(reinterpret_cast<const char*>(&bytes_[sect]), 16);
                sections_[name.c_str()] = {quad(sect + 32), quad(sect + 40), word(sect + 48)};
            }
        }
    }
    ~MachOFile() {
        if (placed_ != nullptr) munmap(placed_, placedLength_);
    }

    uint32_t cpuType() const { return cpuType_; }
    Section section(const std::string& name) const {
        const auto it = sections_.find(name);
        return it == sections_.end() ? Section{} : it->second;
    }
    const uint8_t* fileBytes(const Section& s) const { return &bytes_[s.offset]; }

    // Places the segments at their link addresses, the text executable (and everything writable
    // when asked, for tests that damage the image); returns the header.
    uint64_t placeAtLinkAddress(bool writable = false) {
        uint64_t low = UINT64_MAX, high = 0;
        for (const Segment& s : segments_) {
            low = std::min(low, s.vmaddr);
            high = std::max(high, s.vmaddr + s.vmsize);
        }
        const uint64_t page = static_cast<uint64_t>(getpagesize());
        placedLength_ = ((high - low) + page - 1) & ~(page - 1);
        void* at = mmap(reinterpret_cast<void*>(low), placedLength_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (at == MAP_FAILED) return 0;
        placed_ = static_cast<uint8_t*>(at);
        for (const Segment& s : segments_) {
            std::memcpy(placed_ + (s.vmaddr - low), &bytes_[s.fileoff], std::min(s.filesize, s.vmsize));
        }
        mprotect(placed_, placedLength_, PROT_READ | PROT_EXEC | (writable ? PROT_WRITE : 0));
        return low;
    }

private:
    struct Segment {
        uint64_t vmaddr, vmsize, fileoff, filesize;
    };
    uint32_t word(size_t at) const {
        uint32_t v = 0;
        if (at + 4 <= bytes_.size()) std::memcpy(&v, &bytes_[at], 4);
        return v;
    }
    uint64_t quad(size_t at) const {
        uint64_t v = 0;
        if (at + 8 <= bytes_.size()) std::memcpy(&v, &bytes_[at], 8);
        return v;
    }

    std::vector<uint8_t> bytes_;
    uint32_t cpuType_ = 0;
    std::vector<Segment> segments_;
    std::map<std::string, Section> sections_;
    uint8_t* placed_ = nullptr;
    size_t placedLength_ = 0;
};

}  // namespace unwindtest
