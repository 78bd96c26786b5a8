#include "orbit/ErrorTracking/Models/OrbitBinaryImageInfo.h"

#include "orbit/ErrorTracking/Utils/OrbitErrorTrackingText.h"

namespace orbit {

nlohmann::json OrbitBinaryImageInfo::toDictionary() const {
    nlohmann::json image = {{"type", format == OrbitImageFormat::elf ? "elf" : "macho"},
                            {"code_file", validUtf8(name)},
                            {"image_addr", formattedAddress(address)},
                            {"image_size", size}};
    if (uuid) image["debug_id"] = *uuid;
    if (vmAddress && *vmAddress != 0) image["image_vmaddr"] = formattedAddress(*vmAddress);
    if (arch) image["arch"] = *arch;
    return image;
}

}  // namespace orbit
