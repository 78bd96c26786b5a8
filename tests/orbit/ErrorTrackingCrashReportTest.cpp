// Decoded crash reports, encoded by protoc from text, against the exact "$exception" properties.
#include <gtest/gtest.h>

#include "crashreporter/OBCrashReport.h"
#include "orbit/ErrorTracking/OrbitCrashReportProcessor.h"
#include "support/ReportFixtures.h"

using nlohmann::json;

namespace {

const std::string kHeader = R"(
system_info { operating_system: OS_UNKNOWN os_version: "6.1.0" os_build: "" timestamp: 1700000000 architecture: X86_64 }
application_info { identifier: "com.sablix.app" version: "42" }
)" + reportfixtures::kMachineX86_64;

std::string signal(const std::string& crashInfo = "") {
    return R"(signal { name: "SIGSEGV" code: "SEGV_MAPERR" address: 16 )" + crashInfo + " }\n";
}

const std::string kImages = R"(
binary_images { base_address: 4194304 size: 8192 name: "/usr/bin/sablix"
  uuid: "\x01\x23\x45\x67\x89\xab\xcd\xef\x01\x23\x45\x67\x89\xab\xcd\xef"
  code_type { encoding: TYPE_ENCODING_MACH type: 16777223 subtype: 3 } }
binary_images { base_address: 139637976727552 size: 2097152 name: "/usr/lib/x86_64-linux-gnu/libc.so.6"
  code_type { encoding: TYPE_ENCODING_MACH type: 16777223 subtype: 3 } }
binary_images { base_address: 5242880 size: 4096 name: "/usr/lib/unused.so" }
)";

// The crashing thread's frames, innermost first: a symbolicated one, one more in the program, one
// in libc, and one that no image holds.
const std::string kThreads = R"(
threads { thread_number: 0 crashed: false frames { pc: 4198656 } }
threads { thread_number: 7 crashed: true
  frames { pc: 4198496 symbol { name: "_ZN6sablix5crashEv" start_address: 4198400 } }
  frames { pc: 4198912 } frames { pc: 139637976731648 } frames { pc: 16 } }
)";

json process(const std::string& text) {
    const auto data = reportfixtures::encodeReport(text);
    const auto report = obcrash::OBCrashReport::initWithData(data);
    EXPECT_TRUE(report) << text;
    orbit::OrbitApplicationInfo app;
    app.executableName = "sablix";
    const orbit::OrbitErrorTrackingConfig config(app);
    return report ? orbit::OrbitCrashReportProcessor::processReport(*report, config) : json();
}

}  // namespace

TEST(ErrorTrackingCrashReportTest, SignalReportGivesExactProperties) {
    const json expected = R"({
      "$exception_level": "fatal",
      "$exception_list": [{
        "type": "SIGSEGV",
        "value": "SIGSEGV (code SEGV_MAPERR) at address 0x0000000000000010",
        "mechanism": {"type": "signal", "handled": false, "synthetic": false,
                      "meta": {"signal": {"code": "SEGV_MAPERR", "name": "SIGSEGV"}}},
        "thread_id": 7,
        "stacktrace": {"type": "raw", "frames": [
          {"instruction_addr": "0x0000000000000010", "platform": "native", "in_app": false},
          {"instruction_addr": "0x00007f0000001000", "platform": "native", "in_app": false,
           "module": "libc.so.6", "package": "libc.so.6", "image_addr": "0x00007f0000000000"},
          {"instruction_addr": "0x0000000000401200", "platform": "native", "in_app": true,
           "module": "sablix", "package": "sablix", "image_addr": "0x0000000000400000"},
          {"instruction_addr": "0x0000000000401060", "platform": "native", "in_app": true,
           "module": "sablix", "package": "sablix", "image_addr": "0x0000000000400000",
           "function": "_ZN6sablix5crashEv", "symbol_addr": "0x0000000000401000"}]}
      }],
      "$debug_images": [
        {"type": "elf", "code_file": "/usr/bin/sablix", "image_addr": "0x0000000000400000", "image_size": 8192,
         "debug_id": "01234567-89AB-CDEF-0123-456789ABCDEF", "arch": "x86_64"},
        {"type": "elf", "code_file": "/usr/lib/x86_64-linux-gnu/libc.so.6", "image_addr": "0x00007f0000000000",
         "image_size": 2097152, "arch": "x86_64"}]
    })"_json;
    EXPECT_EQ(process(kHeader + signal() + kImages + kThreads), expected);
}

TEST(ErrorTrackingCrashReportTest, CrashInfoMessagesAndMissingSections) {
    struct Case {
        std::string message;  // protobuf text escapes
        std::string type;
        std::string value;
        json meta;
    };
    const std::string signalText = "SIGSEGV (code SEGV_MAPERR) at address 0x0000000000000010";
    const json plain = {{"code", "SEGV_MAPERR"}, {"name", "SIGSEGV"}};
    auto with = [&](const std::string& message) {
        json meta = plain;
        meta["crash_info_message"] = message;
        return meta;
    };
    const std::vector<Case> cases = {
        {"Fatal error: Index out of range: file Main.swift, line 42", "Fatal error",
         "Fatal error: Index out of range: file Main.swift, line 42",
         with("Fatal error: Index out of range: file Main.swift, line 42")},
        {"  Main.swift:42: precondition failed: bad state\\n", "precondition failed",
         "Main.swift:42: precondition failed: bad state", with("Main.swift:42: precondition failed: bad state")},
        {"Fatal error", "SIGSEGV", signalText, with("Fatal error")},
        {"Fatal error: x: file a.swift, line 1\\nnext line", "SIGSEGV", signalText,
         with("Fatal error: x: file a.swift, line 1\nnext line")},
        {" \\t\\n ", "SIGSEGV", signalText, plain},
    };
    for (const auto& c : cases) {
        const json properties = process(kHeader + signal("crash_info_message: \"" + c.message + "\"") + kImages);
        const json& exception = properties["$exception_list"][0];
        EXPECT_EQ(exception["type"], c.type) << c.message;
        EXPECT_EQ(exception["value"], c.value) << c.message;
        EXPECT_EQ(exception["mechanism"]["meta"]["signal"], c.meta) << c.message;
        // No threads: no stack, no thread, no images.
        EXPECT_FALSE(exception.contains("stacktrace"));
        EXPECT_FALSE(exception.contains("thread_id"));
        EXPECT_FALSE(properties.contains("$debug_images"));
    }

    // An uncaught exception without frames of its own takes the crashed thread's.
    const json uncaught = process(kHeader + signal() + kImages + kThreads +
                                  R"(exception { name: "std::runtime_error" reason: "no snippets" })");
    const json& exception = uncaught["$exception_list"][0];
    EXPECT_EQ(exception["type"], "std::runtime_error");
    EXPECT_EQ(exception["value"], "no snippets");
    EXPECT_EQ(exception["mechanism"], json({{"type", "nsexception"}, {"handled", false}, {"synthetic", false}}));
    EXPECT_EQ(exception["stacktrace"]["frames"].size(), 4u);
    EXPECT_EQ(uncaught["$debug_images"].size(), 2u);
}
