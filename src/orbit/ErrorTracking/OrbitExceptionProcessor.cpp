#include "orbit/ErrorTracking/OrbitExceptionProcessor.h"

#include <cxxabi.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <typeinfo>

#include "orbit/ErrorTracking/Models/OrbitTracedException.h"
#include "orbit/ErrorTracking/OrbitDebugImageProvider.h"
#include "orbit/ErrorTracking/OrbitStackTraceProcessor.h"
#include "orbit/ErrorTracking/Utils/OrbitErrorTrackingText.h"

namespace orbit {
namespace {

constexpr std::string_view kNestedWrapper = "std::_Nested_exception<";

std::string demangled(const char* name) {
    if (name == nullptr) return {};
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> result(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                                             &std::free);
    return status == 0 && result ? std::string(result.get()) : std::string(name);
}

// The qualified name of a type split at its last "::" outside template arguments and parameter
// lists: {namespace, unqualified name}. std::throw_with_nested wraps the thrown type; the wrapper is
// no part of the name.
std::pair<std::optional<std::string>, std::string> splitTypeName(std::string name) {
    if (name.starts_with(kNestedWrapper) && name.ends_with(">"))
        name = name.substr(kNestedWrapper.size(), name.size() - kNestedWrapper.size() - 1);
    int depth = 0;
    std::optional<size_t> separator;
    for (size_t i = 0; i + 1 < name.size(); ++i) {
        const char c = name[i];
        if (c == '<' || c == '(')
            ++depth;
        else if ((c == '>' || c == ')') && depth > 0)
            --depth;
        else if (depth == 0 && c == ':' && name[i + 1] == ':')
            separator = i++;
    }
    if (!separator || *separator == 0) return {std::nullopt, name};
    return {name.substr(0, *separator), name.substr(*separator + 2)};
}

std::string errorMessage(std::string_view description, std::optional<int> code) {
    std::string message = description.empty() ? std::string("Error") : validUtf8(description);
    if (code) message += " (Code: " + std::to_string(*code) + ")";
    return message;
}

nlohmann::json framesToStacktrace(const std::vector<OrbitStackFrame>& frames) {
    if (frames.empty()) return nullptr;
    nlohmann::json list = nlohmann::json::array();
    // Outermost caller first.
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) list.push_back(frame->toDictionary());
    return {{"frames", std::move(list)}, {"type", "raw"}};
}

}  // namespace

// Builds the entries of one chain; the capture-time stack is taken once and shared by them all.
class OrbitExceptionProcessor::ChainBuilder {
public:
    ChainBuilder(bool handled, std::string mechanismType, const OrbitErrorTrackingConfig& config)
        : handled_(handled), mechanismType_(std::move(mechanismType)), config_(config) {}

    void addChain(const std::exception_ptr& first) {
        std::exception_ptr next = first;
        while (next) {
            std::exception_ptr current = std::exchange(next, nullptr);
            try {
                std::rethrow_exception(current);
            } catch (const std::exception& error) {
                if (!seen_.insert(&error).second) return;
                add(error);
                next = nested(error);
            } catch (...) {
                // Not a std::exception: only its type is known, and nothing can lie under it.
                const std::type_info* type = abi::__cxa_current_exception_type();
                auto [module, name] = splitTypeName(demangled(type ? type->name() : nullptr));
                add(std::move(name), errorMessage({}, std::nullopt), std::move(module), {});
                return;
            }
        }
    }

    void addChain(const std::exception& first) {
        seen_.insert(&first);
        add(first);
        addChain(nested(first));
    }

    void add(const std::error_code& error) {
        const char* category = error.category().name();
        std::string description;
        try {
            description = error.message();
        } catch (...) {}
        add(validUtf8(category ? category : ""), errorMessage(description, error.value()), std::nullopt, {});
    }

    nlohmann::json take() { return std::move(list_); }

private:
    static std::exception_ptr nested(const std::exception& error) {
        // rethrow_if_nested would end the process for a nesting made outside a handler.
        const auto* nesting = dynamic_cast<const std::nested_exception*>(&error);
        return nesting ? nesting->nested_ptr() : nullptr;
    }

    void add(const std::exception& error) {
        std::span<const uintptr_t> ownAddresses;
        if (const auto* traced = dynamic_cast<const OrbitTracedException*>(&error))
            ownAddresses = traced->callStackReturnAddresses();
        if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
            const char* category = system->code().category().name();
            add(validUtf8(category ? category : ""), errorMessage(system->what(), system->code().value()), std::nullopt,
                ownAddresses);
            return;
        }
        auto [module, name] = splitTypeName(demangled(typeid(error).name()));
        add(validUtf8(name), errorMessage(error.what(), std::nullopt), std::move(module), ownAddresses);
    }

    void add(std::string type, std::string value, std::optional<std::string> module,
             std::span<const uintptr_t> ownAddresses) {
        nlohmann::json exception = {{"type", std::move(type)}, {"value", std::move(value)}, {"thread_id", threadId_}};
        if (module) exception["module"] = validUtf8(*module);
        bool synthetic = true;
        nlohmann::json stacktrace;
        if (!ownAddresses.empty()) {
            synthetic = false;
            stacktrace =
                framesToStacktrace(OrbitStackTraceProcessor::symbolicateAddresses(ownAddresses, config_, false));
        } else {
            if (!captureStack_) captureStack_ = buildStacktrace(config_);
            stacktrace = *captureStack_;
        }
        exception["mechanism"] = {{"type", mechanismType_}, {"handled", handled_}, {"synthetic", synthetic}};
        if (!stacktrace.is_null()) exception["stacktrace"] = std::move(stacktrace);
        list_.push_back(std::move(exception));
    }

    const bool handled_;
    const std::string mechanismType_;
    const OrbitErrorTrackingConfig& config_;
    const int64_t threadId_ = gettid();
    std::set<const void*> seen_;
    std::optional<nlohmann::json> captureStack_;
    nlohmann::json list_ = nlohmann::json::array();
};

nlohmann::json OrbitExceptionProcessor::buildStacktrace(const OrbitErrorTrackingConfig& config) {
    const auto addresses = OrbitStackTraceProcessor::currentReturnAddresses();
    return framesToStacktrace(OrbitStackTraceProcessor::symbolicateAddresses(addresses, config, true));
}

nlohmann::json OrbitExceptionProcessor::buildExceptionList(const std::exception_ptr& error, bool handled,
                                                           const std::string& mechanismType,
                                                           const OrbitErrorTrackingConfig& config) {
    ChainBuilder builder(handled, mechanismType, config);
    builder.addChain(error);
    return builder.take();
}

nlohmann::json OrbitExceptionProcessor::buildExceptionList(const std::exception& error, bool handled,
                                                           const std::string& mechanismType,
                                                           const OrbitErrorTrackingConfig& config) {
    ChainBuilder builder(handled, mechanismType, config);
    builder.addChain(error);
    return builder.take();
}

nlohmann::json OrbitExceptionProcessor::buildExceptionList(const std::error_code& error, bool handled,
                                                           const std::string& mechanismType,
                                                           const OrbitErrorTrackingConfig& config) {
    ChainBuilder builder(handled, mechanismType, config);
    builder.add(error);
    return builder.take();
}

void OrbitExceptionProcessor::attachExceptionsAndDebugImages(const nlohmann::json& exceptions,
                                                             nlohmann::json& properties) {
    if (!exceptions.is_array() || exceptions.empty()) return;
    properties["$exception_list"] = exceptions;
    if (auto images = OrbitDebugImageProvider::getDebugImages(exceptions); !images.empty())
        properties["$debug_images"] = std::move(images);
}

nlohmann::json OrbitExceptionProcessor::eventProperties(nlohmann::json exceptions, const nlohmann::json& properties) {
    nlohmann::json result = {{"$exception_level", "error"}};
    attachExceptionsAndDebugImages(exceptions, result);
    if (properties.is_object())
        for (const auto& [key, value] : properties.items()) result[key] = value;
    return result;
}

nlohmann::json OrbitExceptionProcessor::exceptionEventProperties(const std::exception_ptr& error,
                                                                 const OrbitErrorTrackingConfig& config,
                                                                 const nlohmann::json& properties) {
    return eventProperties(buildExceptionList(error, true, "generic", config), properties);
}

nlohmann::json OrbitExceptionProcessor::exceptionEventProperties(const std::exception& error,
                                                                 const OrbitErrorTrackingConfig& config,
                                                                 const nlohmann::json& properties) {
    return eventProperties(buildExceptionList(error, true, "generic", config), properties);
}

nlohmann::json OrbitExceptionProcessor::exceptionEventProperties(const std::error_code& error,
                                                                 const OrbitErrorTrackingConfig& config,
                                                                 const nlohmann::json& properties) {
    return eventProperties(buildExceptionList(error, true, "generic", config), properties);
}

}  // namespace orbit
