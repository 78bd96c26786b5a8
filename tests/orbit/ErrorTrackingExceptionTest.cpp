// Handled exceptions against what outside tools say of the running program: addr2line for the
// functions, /proc/self/maps for the load addresses, readelf for the build ids.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cxxabi.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "OrbitClientFixture.h"
#include "orbit/ErrorTracking/Models/OrbitTracedException.h"
#include "orbit/ErrorTracking/OrbitDebugImageProvider.h"
#include "orbit/ErrorTracking/OrbitExceptionProcessor.h"
#include "orbit/ErrorTracking/OrbitStackTraceProcessor.h"
#include "orbit/ErrorTracking/Utils/OrbitErrorTrackingText.h"
#include "support/ChildProcess.h"

using nlohmann::json;
using orbit::OrbitErrorTrackingConfig;
using orbit::OrbitExceptionProcessor;

// Exported functions at known places (the test program links with -rdynamic).
__attribute__((noinline)) void captureAtKnownSite(const OrbitErrorTrackingConfig& config, json& out) {
    out = OrbitExceptionProcessor::exceptionEventProperties(std::runtime_error("boom"), config);
}

__attribute__((noinline)) void throwTracedAtKnownSite() { throw orbit::OrbitTracedException("traced"); }

__attribute__((noinline)) void reportNestedAtKnownSite(orbit::OrbitSDK& sdk) {
    try {
        try {
            try {
                throw std::out_of_range("row 9");
            } catch (...) {
                std::throw_with_nested(std::runtime_error("snippet unreadable"));
            }
        } catch (...) {
            std::throw_with_nested(std::logic_error("library not loaded"));
        }
    } catch (const std::exception& error) {
        sdk.captureException(error, json{{"screen", "library"}});
    }
}

namespace sablix::storage {
struct QueueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
}  // namespace sablix::storage

namespace {

uint64_t address(const json& text) { return *orbit::OrbitDebugImageProvider::parseAddress(text.get<std::string>()); }

std::string canonical(const std::string& path) {
    std::error_code error;
    const auto resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved.string();
}

std::string demangledName(const std::string& symbol) {
    int status = 0;
    char* name = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
    std::string result = status == 0 ? name : symbol;
    std::free(name);
    return result.substr(0, result.find('('));
}

// The outermost function that addr2line places at each address (the last of its inline chain).
std::vector<std::string> addr2lineFunctions(const std::string& file, const std::vector<uint64_t>& addresses) {
    std::vector<std::string> argv = {"addr2line", "-a", "-f", "-C", "-i", "-e", file};
    for (const auto a : addresses) argv.push_back(orbit::formattedAddress(a));
    std::istringstream out(testsupport::runCommand(argv));
    std::vector<std::string> functions;
    std::string line;
    for (int index = 0; std::getline(out, line); ++index) {
        if (line.starts_with("0x")) {
            functions.emplace_back();
            index = -1;
        } else if (index % 2 == 0 && !functions.empty()) {
            functions.back() = line.substr(0, line.find('('));
        }
    }
    return functions;
}

std::map<std::string, uint64_t> firstMappings() {
    std::map<std::string, uint64_t> first;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const auto slash = line.find('/');
        if (slash == std::string::npos) continue;
        first.emplace(canonical(line.substr(slash)), std::stoull(line.substr(0, line.find('-')), nullptr, 16));
    }
    return first;
}

std::string readelfBuildId(const std::string& file) {
    const std::string out = testsupport::runCommand({"readelf", "-n", file});
    const auto at = out.find("Build ID: ");
    return at == std::string::npos ? "" : orbit::formattedAsUUID(out.substr(at + 10, 32));
}

}  // namespace

TEST(ErrorTrackingExceptionTest, LiveFramesAndImagesAgreeWithOutsideTools) {
    const OrbitErrorTrackingConfig config;
    json properties;
    captureAtKnownSite(config, properties);

    ASSERT_EQ(properties["$exception_level"], "error");
    ASSERT_EQ(properties["$exception_list"].size(), 1u);
    const json& exception = properties["$exception_list"][0];
    EXPECT_EQ(exception["type"], "runtime_error");
    EXPECT_EQ(exception["module"], "std");
    EXPECT_EQ(exception["value"], "boom");
    EXPECT_EQ(exception["thread_id"], gettid());
    EXPECT_EQ(exception["mechanism"], json({{"type", "generic"}, {"handled", true}, {"synthetic", true}}));
    const json& frames = exception["stacktrace"]["frames"];
    ASSERT_FALSE(frames.empty());

    std::map<uint64_t, json> images;
    for (const auto& image : properties["$debug_images"]) images[address(image["image_addr"])] = image;

    // Grouped by file so that each file costs one addr2line run.
    std::map<std::string, std::vector<const json*>> inAppFrames;
    bool libcSeen = false;
    for (const auto& frame : frames) {
        EXPECT_EQ(frame["instruction_addr"].get<std::string>().size(), 18u);
        EXPECT_EQ(frame["platform"], "native");
        ASSERT_TRUE(frame.contains("image_addr")) << frame;
        ASSERT_TRUE(images.contains(address(frame["image_addr"]))) << frame;
        if (frame["module"].get<std::string>().starts_with("libc.so")) {
            libcSeen = true;
            EXPECT_FALSE(frame["in_app"]) << frame;
        }
        if (frame["in_app"]) inAppFrames[frame["package"]].push_back(&frame);
    }
    EXPECT_TRUE(libcSeen);
    ASSERT_FALSE(inAppFrames.empty());

    for (const auto& [file, list] : inAppFrames) {
        std::vector<uint64_t> relative;
        for (const json* frame : list) {
            const json& image = images[address((*frame)["image_addr"])];
            const uint64_t linked = image.contains("image_vmaddr") ? address(image["image_vmaddr"]) : 0;
            relative.push_back(address((*frame)["instruction_addr"]) - address((*frame)["image_addr"]) + linked);
        }
        const auto functions = addr2lineFunctions(file, relative);
        ASSERT_EQ(functions.size(), list.size());
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i]->contains("function")) {
                EXPECT_EQ(functions[i], demangledName((*list[i])["function"])) << *list[i];
            }
    }
    // The client's own frames are gone from the top: the innermost frame is the capturing site.
    EXPECT_EQ(demangledName(frames.back().value("function", "")), "captureAtKnownSite");

    const auto mappings = firstMappings();
    for (const auto& [start, image] : images) {
        EXPECT_EQ(image["type"], "elf");
        const std::string file = canonical(image["code_file"]);
        ASSERT_TRUE(mappings.contains(file)) << image;
        EXPECT_EQ(mappings.at(file), start) << image;
        const std::string buildId = readelfBuildId(file);
        if (!buildId.empty()) {
            EXPECT_EQ(image.value("debug_id", ""), buildId) << image;
        }
    }
}

TEST(ErrorTrackingExceptionTest, NestedChainSharesOneStackAndEndsLoops) {
    const OrbitErrorTrackingConfig config;
    json properties;
    try {
        try {
            try {
                throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory), "open");
            } catch (...) {
                std::throw_with_nested(sablix::storage::QueueError("store \xff failed"));
            }
        } catch (...) {
            std::throw_with_nested(std::logic_error(""));
        }
    } catch (const std::exception& error) {
        properties = OrbitExceptionProcessor::exceptionEventProperties(error, config,
                                                                       {{"$exception_level", "warning"}, {"k", 1}});
    }
    EXPECT_EQ(properties["$exception_level"], "warning");
    EXPECT_EQ(properties["k"], 1);
    const json& list = properties["$exception_list"];
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]["type"], "logic_error");
    EXPECT_EQ(list[0]["value"], "Error");
    EXPECT_EQ(list[1]["type"], "QueueError");
    EXPECT_EQ(list[1]["module"], "sablix::storage");
    EXPECT_EQ(list[1]["value"], "store \xEF\xBF\xBD failed");
    EXPECT_EQ(list[2]["type"], "generic");
    EXPECT_FALSE(list[2].contains("module"));
    EXPECT_EQ(list[2]["value"], std::string("open: ") + std::strerror(ENOENT) + " (Code: 2)");
    for (const auto& entry : list) {
        EXPECT_EQ(entry["mechanism"], json({{"type", "generic"}, {"handled", true}, {"synthetic", true}}));
        EXPECT_EQ(entry["stacktrace"], list[0]["stacktrace"]);
        EXPECT_EQ(entry["thread_id"], list[0]["thread_id"]);
    }
    EXPECT_NO_THROW((void)properties.dump());

    // A nesting that leads back to an exception already listed ends the chain there.
    struct Looping : std::runtime_error, std::nested_exception {
        Looping() : std::runtime_error("loop") {}
    };
    const std::exception_ptr looping = std::make_exception_ptr(Looping());
    Looping* self = nullptr;
    try {
        std::rethrow_exception(looping);
    } catch (Looping& caught) {
        self = &caught;
        // Made while the exception itself is being handled, this nesting points back to it.
        static_cast<std::nested_exception&>(caught) = std::nested_exception();
    }
    EXPECT_EQ(OrbitExceptionProcessor::buildExceptionList(looping, true, "generic", config).size(), 1u);
    static_cast<std::nested_exception&>(*self) = std::nested_exception();  // outside a handler: nests nothing

    // An address the loader cannot place leaves no frame and no gap.
    const uintptr_t addresses[] = {0x10, reinterpret_cast<uintptr_t>(&throwTracedAtKnownSite)};
    const auto frames = orbit::OrbitStackTraceProcessor::symbolicateAddresses(addresses, config, false);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].function, "_Z22throwTracedAtKnownSitev");

    const json code = OrbitExceptionProcessor::exceptionEventProperties(std::error_code(), config);
    EXPECT_EQ(code["$exception_list"][0]["type"], "system");
}

TEST(ErrorTrackingExceptionTest, TracedExceptionCarriesItsThrowSite) {
    const OrbitErrorTrackingConfig config;
    json properties;
    try {
        throwTracedAtKnownSite();
    } catch (const std::exception& error) {
        properties = OrbitExceptionProcessor::exceptionEventProperties(std::current_exception(), config);
    }
    const json& exception = properties["$exception_list"][0];
    EXPECT_EQ(exception["type"], "OrbitTracedException");
    EXPECT_EQ(exception["module"], "orbit");
    EXPECT_EQ(exception["mechanism"]["synthetic"], false);
    const json& frames = exception["stacktrace"]["frames"];
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(demangledName(frames.back().value("function", "")), "throwTracedAtKnownSite");
    EXPECT_TRUE(frames.back()["in_app"]);
    EXPECT_FALSE(properties["$debug_images"].empty());
}

TEST(ErrorTrackingExceptionTest, InAppRules) {
    using P = orbit::OrbitStackTraceProcessor;
    orbit::OrbitApplicationInfo app;
    app.executableName = "sablix";
    OrbitErrorTrackingConfig config(app);
    EXPECT_EQ(config.inAppIncludes(), (std::vector<std::string>{"com.orbit.unknown", "sablix"}));
    app.identifier = "com.sablix.app";
    EXPECT_EQ(OrbitErrorTrackingConfig(app).inAppIncludes()[0], "com.sablix.app");

    EXPECT_TRUE(P::isInApp("sablix", "/usr/lib/sablix/sablix", config));
    EXPECT_FALSE(P::isInApp("libc.so.6", "/lib/x86_64-linux-gnu/libc.so.6", config));
    EXPECT_FALSE(P::isInApp("libfoo.so", "/lib/x86_64-linux-gnu/libfoo.so", config));
    EXPECT_FALSE(P::isInApp("libfoo.so", "/opt/x/usr/lib/libfoo.so", config));
    EXPECT_TRUE(P::isInApp("libfoo.so", std::nullopt, config));
    EXPECT_FALSE(P::isInApp("libQt6Core.so.6", "/opt/qt/libQt6Core.so.6", config));
    EXPECT_FALSE(P::isInApp("CoreDataKit", "/opt/CoreDataKit", config));

    config.setInAppIncludes({"libc.so", "CoreData"});
    config.setInAppExcludes({"libc", "mine"});
    EXPECT_TRUE(P::isInApp("libc.so.6", "/lib/x86_64-linux-gnu/libc.so.6", config));
    EXPECT_TRUE(P::isInApp("CoreDataKit", std::nullopt, config));
    EXPECT_FALSE(P::isInApp("mine.so", std::nullopt, config));
    config.inAppByDefault = false;
    EXPECT_FALSE(P::isInApp("other.so", std::nullopt, config));
}

// Through the client to the ingest server: the nested chain shares the caller's stack, whose
// innermost frame is the caller (the client's own frames are gone); the traced exception carries
// its throw site; the images of every frame travel beside them; a caller's level wins.
TEST(ErrorTrackingExceptionTest, CapturedExceptionsArriveAsExceptionEvents) {
    orbittest::Client client;
    reportNestedAtKnownSite(*client.sdk);
    try {
        throwTracedAtKnownSite();
    } catch (const orbit::OrbitTracedException& error) {
        client.sdk->captureException(error);
    }
    client.sdk->captureException(std::make_error_code(std::errc::timed_out), json{{"$exception_level", "warning"}});
    const auto events = client.sent(3);
    ASSERT_EQ(events.size(), 3u);

    const auto innermostFunction = [](const json& exception) {
        return demangledName(exception["stacktrace"]["frames"].back().value("function", ""));
    };
    const auto imagesCoverFrames = [](const json& properties) {
        std::set<std::string> images;
        for (const auto& image : properties["$debug_images"]) images.insert(image["image_addr"]);
        for (const auto& exception : properties["$exception_list"])
            for (const auto& frame : exception["stacktrace"]["frames"])
                if (frame.contains("image_addr") && !images.contains(frame["image_addr"])) return false;
        return !images.empty();
    };

    for (const auto& event : events) EXPECT_EQ(event["event"], "$exception");
    const json& nested = events[0]["properties"];
    EXPECT_EQ(nested["$exception_level"], "error");
    EXPECT_EQ(nested["screen"], "library");
    const json& chain = nested["$exception_list"];
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[0]["value"], "library not loaded");
    EXPECT_EQ(chain[1]["value"], "snippet unreadable");
    EXPECT_EQ(chain[2]["type"], "out_of_range");
    for (const auto& entry : chain) {
        EXPECT_EQ(entry["mechanism"], json({{"type", "generic"}, {"handled", true}, {"synthetic", true}}));
        EXPECT_EQ(entry["stacktrace"], chain[0]["stacktrace"]);
    }
    EXPECT_EQ(innermostFunction(chain[0]), "reportNestedAtKnownSite");
    EXPECT_TRUE(imagesCoverFrames(nested));

    const json& traced = events[1]["properties"];
    EXPECT_EQ(traced["$exception_level"], "error");
    ASSERT_EQ(traced["$exception_list"].size(), 1u);
    EXPECT_EQ(traced["$exception_list"][0]["mechanism"]["synthetic"], false);
    EXPECT_EQ(innermostFunction(traced["$exception_list"][0]), "throwTracedAtKnownSite");
    EXPECT_TRUE(imagesCoverFrames(traced));

    const json& code = events[2]["properties"];
    EXPECT_EQ(code["$exception_level"], "warning");
    EXPECT_EQ(code["$exception_list"][0]["type"], "generic");
    EXPECT_EQ(code["$exception_list"][0]["value"],
              std::make_error_code(std::errc::timed_out).message() + " (Code: " + std::to_string(ETIMEDOUT) + ")");
}
