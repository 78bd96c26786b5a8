// Handled errors reported by the host, as "$exception" events.
#include "orbit/OrbitSDK.h"

namespace orbit {
namespace {

// The exception lists of each kind of error. They stay empty until the stack-trace processing
// that fills them is built; the event still carries the level and the caller's properties.
nlohmann::json buildExceptionList(const std::exception&) { return nlohmann::json::array(); }
nlohmann::json buildExceptionList(const std::error_code&) { return nlohmann::json::array(); }
nlohmann::json buildExceptionList(const OrbitRaisedException&) { return nlohmann::json::array(); }

}  // namespace

void OrbitSDK::captureException(const std::exception& error, const Properties& properties) {
    if (isSetUp()) captureExceptionList(buildExceptionList(error), properties);
}

void OrbitSDK::captureException(const std::error_code& error, const Properties& properties) {
    if (isSetUp()) captureExceptionList(buildExceptionList(error), properties);
}

void OrbitSDK::captureException(const OrbitRaisedException& exception, const Properties& properties) {
    if (isSetUp()) captureExceptionList(buildExceptionList(exception), properties);
}

void OrbitSDK::captureExceptionList(nlohmann::json exceptionList, const Properties& properties) {
    nlohmann::json all = {{"$exception_level", "error"}};
    if (!exceptionList.empty()) {
        all["$exception_list"] = std::move(exceptionList);
        all["$debug_images"] = nlohmann::json::array();
    }
    if (properties && properties->is_object())
        for (const auto& [key, value] : properties->items()) all[key] = value;
    capture("$exception", all);
}

}  // namespace orbit
