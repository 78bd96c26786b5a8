#include "orbit/ErrorTracking/Models/OrbitStackFrame.h"

#include "orbit/ErrorTracking/Utils/OrbitErrorTrackingText.h"

namespace orbit {

nlohmann::json OrbitStackFrame::toDictionary() const {
    nlohmann::json frame = {
        {"instruction_addr", formattedAddress(instructionAddress)}, {"platform", "native"}, {"in_app", inApp}};
    if (module) frame["module"] = validUtf8(*module);
    if (package) frame["package"] = validUtf8(*package);
    if (imageAddress) frame["image_addr"] = formattedAddress(*imageAddress);
    if (function) frame["function"] = validUtf8(*function);
    if (symbolAddress) frame["symbol_addr"] = formattedAddress(*symbolAddress);
    return frame;
}

}  // namespace orbit
