#include "orbit/ErrorTracking/Models/OrbitTracedException.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "orbit/ErrorTracking/OrbitStackTraceProcessor.h"

namespace orbit {
namespace {

// Whether a return address lies in a constructor of this type; none when the loader has no name
// for it.
std::optional<bool> inOwnConstructor(uintptr_t address) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(address), &info) == 0 || info.dli_sname == nullptr) return std::nullopt;
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status), &std::free);
    constexpr const char* constructor = "orbit::OrbitTracedException::OrbitTracedException(";
    return status == 0 && name && std::strncmp(name.get(), constructor, std::strlen(constructor)) == 0;
}

}  // namespace

OrbitTracedException::OrbitTracedException(const std::string& what)
    : std::runtime_error(what), callStackReturnAddresses_(OrbitStackTraceProcessor::currentReturnAddresses()) {
    // Drop the capturing function and this constructor (which may be two frames, one per
    // constructor variant): the first frame kept is the place that made the exception.
    auto& addresses = callStackReturnAddresses_;
    size_t first = addresses.empty() ? 0 : 1;
    const auto named = first < addresses.size() ? inOwnConstructor(addresses[first]) : std::nullopt;
    if (!named) first += 1;
    while (first < addresses.size() && inOwnConstructor(addresses[first]).value_or(false)) ++first;
    addresses.erase(addresses.begin(), addresses.begin() + std::min(first, addresses.size()));
}

}  // namespace orbit
