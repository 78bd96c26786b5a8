#include "orbit/ErrorTracking/OrbitDebugImageProvider.h"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

#include "orbit/ErrorTracking/Utils/OrbitErrorTrackingText.h"

namespace orbit {
namespace {

constexpr size_t kUUIDSize = 16;

constexpr uint32_t kMachOMagic64 = 0xfeedfacf;
constexpr uint32_t kMachOCigam64 = 0xcffaedfe;
constexpr size_t kMachOHeaderSize64 = 32;
constexpr size_t kMachOHeaderSize32 = 28;
constexpr uint32_t kLoadCommandSegment64 = 0x19;
constexpr uint32_t kLoadCommandSegment = 0x1;
constexpr uint32_t kLoadCommandUUID = 0x1b;

template <typename T>
std::optional<T> readAt(std::span<const uint8_t> bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

std::string uuidText(const uint8_t* bytes) {
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

size_t padded(size_t size, size_t alignment) { return (size + alignment - 1) / alignment * alignment; }

// The first 16 bytes of the build id in the notes of a mapped segment.
std::optional<std::string> buildIdInNotes(const uint8_t* notes, size_t size, size_t alignment) {
    size_t offset = 0;
    while (size - offset >= sizeof(ElfW(Nhdr))) {
        ElfW(Nhdr) header;
        std::memcpy(&header, notes + offset, sizeof header);
        offset += sizeof header;
        const size_t nameSize = padded(header.n_namesz, alignment);
        const size_t descriptionSize = padded(header.n_descsz, alignment);
        if (nameSize > size - offset || descriptionSize > size - offset - nameSize) return std::nullopt;
        const bool gnu = header.n_namesz == 4 && std::memcmp(notes + offset, "GNU", 4) == 0;
        if (gnu && header.n_type == NT_GNU_BUILD_ID && header.n_descsz >= kUUIDSize)
            return uuidText(notes + offset + nameSize);
        offset += nameSize + descriptionSize;
    }
    return std::nullopt;
}

struct ImageSearch {
    const std::set<uint64_t>* addresses;
    std::vector<OrbitBinaryImageInfo> images;
    bool first = true;
};

std::string loadedName(const dl_phdr_info& info, bool first) {
    if (info.dlpi_name != nullptr && info.dlpi_name[0] != '\0') return info.dlpi_name;
    return first ? OrbitDebugImageProvider::mainProgramPath() : "unknown";
}

uintptr_t lowestLoadAddress(const ElfW(Phdr) * headers, size_t count, uintptr_t base) {
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t lowest = std::numeric_limits<uintptr_t>::max();
    for (size_t i = 0; i < count; ++i)
        if (headers[i].p_type == PT_LOAD) lowest = std::min<uintptr_t>(lowest, headers[i].p_vaddr);
    if (lowest == std::numeric_limits<uintptr_t>::max()) lowest = 0;
    return base + (lowest & ~(page - 1));
}

}  // namespace

nlohmann::json OrbitDebugImageProvider::getDebugImages(const nlohmann::json& exceptions) {
    nlohmann::json frames = nlohmann::json::array();
    if (!exceptions.is_array()) return getDebugImagesForFrames(frames);
    for (const auto& exception : exceptions) {
        if (!exception.is_object()) continue;
        const auto stacktrace = exception.find("stacktrace");
        if (stacktrace == exception.end() || !stacktrace->is_object()) continue;
        const auto list = stacktrace->find("frames");
        if (list == stacktrace->end() || !list->is_array()) continue;
        if (!std::all_of(list->begin(), list->end(), [](const auto& frame) { return frame.is_object(); })) continue;
        frames.insert(frames.end(), list->begin(), list->end());
    }
    return getDebugImagesForFrames(frames);
}

nlohmann::json OrbitDebugImageProvider::getDebugImagesForFrames(const nlohmann::json& frames) {
    std::set<std::string> addresses;
    if (frames.is_array())
        for (const auto& frame : frames) {
            if (!frame.is_object()) continue;
            const auto address = frame.find("image_addr");
            if (address != frame.end() && address->is_string()) addresses.insert(address->get<std::string>());
        }
    nlohmann::json images = nlohmann::json::array();
    if (addresses.empty()) return images;
    for (const auto& image : getImages(addresses)) images.push_back(image.toDictionary());
    return images;
}

std::optional<uint64_t> OrbitDebugImageProvider::parseAddress(const std::string& text) {
    std::string_view digits = text;
    if (digits.starts_with("0x") || digits.starts_with("0X")) digits.remove_prefix(2);
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    uint64_t value = 0;
    for (const char c : digits) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        if (value > (std::numeric_limits<uint64_t>::max() >> 4)) return std::nullopt;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    // An unsigned number takes a minus sign only on zero.
    if (negative && value != 0) return std::nullopt;
    return value;
}

std::vector<OrbitBinaryImageInfo> OrbitDebugImageProvider::getImages(const std::set<std::string>& addresses) {
    std::set<uint64_t> numbers;
    for (const auto& text : addresses)
        if (const auto number = parseAddress(text)) numbers.insert(*number);
    if (numbers.empty()) return {};
    ImageSearch search{&numbers, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto& search = *static_cast<ImageSearch*>(data);
            const bool first = std::exchange(search.first, false);
            const uintptr_t address = lowestLoadAddress(info->dlpi_phdr, info->dlpi_phnum, info->dlpi_addr);
            if (search.addresses->contains(address))
                search.images.push_back(imageInfoFromProgramHeaders(loadedName(*info, first), info->dlpi_addr,
                                                                    info->dlpi_phdr, info->dlpi_phnum));
            return 0;
        },
        &search);
    return std::move(search.images);
}

OrbitBinaryImageInfo OrbitDebugImageProvider::imageInfoFromProgramHeaders(std::string name, uintptr_t base,
                                                                          const void* programHeaders, size_t count) {
    const auto* headers = static_cast<const ElfW(Phdr)*>(programHeaders);
    OrbitBinaryImageInfo image;
    image.name = std::move(name);
    image.format = OrbitImageFormat::elf;
    image.address = lowestLoadAddress(headers, count, base);
    image.vmAddress = image.address - base;
    uint64_t end = image.address;
    for (size_t i = 0; i < count; ++i) {
        const auto& header = headers[i];
        if (header.p_type == PT_LOAD) end = std::max<uint64_t>(end, base + header.p_vaddr + header.p_memsz);
        if (header.p_type == PT_NOTE && !image.uuid)
            image.uuid = buildIdInNotes(reinterpret_cast<const uint8_t*>(base + header.p_vaddr), header.p_filesz,
                                        header.p_align == 8 ? 8 : 4);
    }
    image.size = end - image.address;
    return image;
}

std::optional<OrbitBinaryImageInfo> OrbitDebugImageProvider::parseImageInfo(std::span<const uint8_t> header,
                                                                            uint64_t slide, std::string name) {
    const auto magic = readAt<uint32_t>(header, 0);
    const auto commandCount = readAt<uint32_t>(header, 16);
    if (!magic || !commandCount) return std::nullopt;
    const bool is64Bit = *magic == kMachOMagic64 || *magic == kMachOCigam64;
    const uint32_t segmentCommand = is64Bit ? kLoadCommandSegment64 : kLoadCommandSegment;
    size_t offset = is64Bit ? kMachOHeaderSize64 : kMachOHeaderSize32;

    std::optional<std::string> uuid;
    std::optional<std::pair<uint64_t, uint64_t>> text;
    for (uint32_t i = 0; i < *commandCount; ++i) {
        const auto command = readAt<uint32_t>(header, offset);
        const auto commandSize = readAt<uint32_t>(header, offset + 4);
        // A command must hold its own two words and end inside the bytes.
        if (!command || !commandSize || *commandSize < 8 || *commandSize > header.size() - offset) break;
        const auto bytes = header.subspan(offset, *commandSize);
        if (*command == kLoadCommandUUID) {
            if (auto found = extractUUID(bytes)) uuid = std::move(found);
        } else if (*command == segmentCommand) {
            if (auto found = extractTextSegment(bytes, is64Bit)) text = found;
        }
        if (uuid && text && text->second != 0) break;
        offset += *commandSize;
    }

    OrbitBinaryImageInfo image;
    image.name = std::move(name);
    image.format = OrbitImageFormat::macho;
    image.uuid = std::move(uuid);
    image.vmAddress = text ? text->first : 0;
    image.address = *image.vmAddress + slide;
    image.size = text ? text->second : 0;
    return image;
}

std::optional<std::pair<uint64_t, uint64_t>> OrbitDebugImageProvider::extractTextSegment(
    std::span<const uint8_t> command, bool is64Bit) {
    if (command.size() < 24) return std::nullopt;
    const auto nameField = command.subspan(8, 16);
    const std::string segmentName(reinterpret_cast<const char*>(nameField.data()),
                                  strnlen(reinterpret_cast<const char*>(nameField.data()), nameField.size()));
    if (segmentName != "__TEXT") return std::nullopt;
    if (is64Bit) {
        const auto address = readAt<uint64_t>(command, 24);
        const auto size = readAt<uint64_t>(command, 32);
        if (!address || !size) return std::nullopt;
        return std::pair{*address, *size};
    }
    const auto address = readAt<uint32_t>(command, 24);
    const auto size = readAt<uint32_t>(command, 28);
    if (!address || !size) return std::nullopt;
    return std::pair<uint64_t, uint64_t>{*address, *size};
}

std::optional<std::string> OrbitDebugImageProvider::extractUUID(std::span<const uint8_t> command) {
    if (command.size() < 8 + kUUIDSize) return std::nullopt;
    return uuidText(command.data() + 8);
}

std::optional<uintptr_t> OrbitDebugImageProvider::mainProgramAddress() {
    // The main program is the loader's first object and never moves.
    static const std::optional<uintptr_t> address = [] {
        std::optional<uintptr_t> found;
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* data) {
                *static_cast<std::optional<uintptr_t>*>(data) =
                    lowestLoadAddress(info->dlpi_phdr, info->dlpi_phnum, info->dlpi_addr);
                return 1;
            },
            &found);
        return found;
    }();
    return address;
}

const std::string& OrbitDebugImageProvider::mainProgramPath() {
    static const std::string path = [] {
        std::error_code error;
        const auto target = std::filesystem::read_symlink("/proc/self/exe", error);
        return error ? std::string("unknown") : target.string();
    }();
    return path;
}

}  // namespace orbit
