#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/ReportFixtures.h"
#include "crashreporter/OBCrashLog.h"
#include "crashreporter/OBCrashReportTextFormatter.h"

using namespace obcrash;
using namespace reportfixtures;

namespace {

const std::string kGoldenFile = SABLIX_SOURCE_DIR "/tests/crashreporter/fixtures/report.txt";

std::string fixtureText(const std::string& exception) {
    return requiredSections("architecture: ARCHITECTURE_UNKNOWN", "mach_exception { type: 1 codes: 1 codes: 0 }") +
           machine(0x01000007, 3, "model: \"ThinkPad X1\"") + R"(
report_info { user_requested: false uuid: "\x3f\x2a\x91\x04\xbe\x55\x4c\x0e\x8a\x1d\x02\x6f\x7e\x90\xc3\x11" }
process_info { process_name: "sablix" process_id: 4242 process_path: "/usr/bin/sablix" parent_process_name: "systemd"
               parent_process_id: 1 native: true }
threads { thread_number: 0 crashed: false frames { pc: 4198656 } }
threads { thread_number: 1 crashed: true
  registers { name: "rax" value: 0 } registers { name: "rbx" value: 1 } registers { name: "rcx" value: 2 }
  registers { name: "rdx" value: 3 } registers { name: "rdi" value: 4 } registers { name: "rsi" value: 5 }
  registers { name: "rbp" value: 140737488346448 } registers { name: "rsp" value: 140737488346400 }
  registers { name: "rip" value: 4198496 }
  frames { pc: 4198496 symbol { name: "_ZN6sablix5crashEv" start_address: 4198400 } }
  frames { pc: 139637976727552 }
  frames { pc: 3735928559 } }
binary_images { base_address: 4194304 size: 1048576 name: "/usr/bin/sablix"
                uuid: "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
                code_type { encoding: TYPE_ENCODING_MACH type: 16777223 subtype: 3 } }
binary_images { base_address: 139637976711168 size: 1925120 name: "/usr/lib/x86_64-linux-gnu/libc.so.6"
                code_type { encoding: TYPE_ENCODING_MACH type: 16777223 subtype: 3 } }
binary_images { base_address: 139637976711168 size: 4096 name: "/usr/lib/x86_64-linux-gnu/libc-alias.so" }
)" + exception;
}

TEST(TextFormatter, WritesTheReviewedLayout) {
    const auto report = OBCrashReport::initWithData(encodeReport(fixtureText(
        R"(exception { name: "std::runtime_error" reason: "no snippets" frames { pc: 4198500 } frames { pc: 0 } })")));
    ASSERT_TRUE(report);
    std::vector<std::string> lines;
    obcrash::setOBCrashLogSink([&](const std::string& line) { lines.push_back(line); });
    const std::string text =
        OBCrashReportTextFormatter::stringValueForCrashReport(*report, OBCrashReportTextFormat::Standard);
    std::stringstream golden;
    golden << std::ifstream(kGoldenFile).rdbuf();
    EXPECT_EQ(text, golden.str());
    // This system's symbols have no prefix to drop; a frame outside every image is logged, one at 0 is not.
    obcrash::setOBCrashLogSink(nullptr);
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "[OBCrashReporter] Symbol \"_ZN6sablix5crashEv\" prefix rules are unknown for this OS!",
                  "[OBCrashReporter] Cannot find image for 0xdeadbeef"}));

    const auto withoutFrames = OBCrashReport::initWithData(
        encodeReport(fixtureText(R"(exception { name: "std::runtime_error" reason: "no snippets" })")));
    ASSERT_TRUE(withoutFrames);
    const auto bytes = OBCrashReportTextFormatter(OBCrashReportTextFormat::Standard, OBCrashReportStringEncoding::ASCII)
                           .formatReport(*withoutFrames);
    const std::string ascii(bytes.begin(), bytes.end());
    EXPECT_NE(ascii.find("Application Specific Information:\n*** Terminating app due to uncaught exception "
                         "'std::runtime_error', reason: 'no snippets'\n\nThread 0:\n"),
              std::string::npos);
    EXPECT_EQ(ascii.find("Last Exception Backtrace"), std::string::npos);
}

}  // namespace
