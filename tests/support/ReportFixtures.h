#pragma once
// Reports for the tests, written in protobuf text format and encoded by protoc itself, so that
// the reader is checked against an encoder other than its own decoder.
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace reportfixtures {

inline const std::string kSchemaDir = SABLIX_SOURCE_DIR "/src/crashreporter";

inline std::string protoc(const std::string& mode, const std::string& input, int* exitCode = nullptr) {
    const std::string path = "/tmp/obcrash-fixture-" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << input;
    // protoc warns on stderr about missing required fields and encodes all the same.
    const std::string out = testsupport::runCommand(
        {"sh", "-c", "protoc " + mode + " -I\"$1\" obcrash.proto < \"$2\" 2>/dev/null", "sh", kSchemaDir, path},
        exitCode);
    unlink(path.c_str());
    return out;
}

// The message body of a report in text format.
inline std::string encodeBody(const std::string& text) { return protoc("--encode=obcrash.CrashReport", text); }

inline std::vector<uint8_t> withHeader(const std::string& body, uint8_t version = 1) {
    const std::string file = std::string("obcrash") + static_cast<char>(version) + body;
    return {file.begin(), file.end()};
}

inline std::vector<uint8_t> encodeReport(const std::string& text) { return withHeader(encodeBody(text)); }

// protoc's reading of a report file: true when it decodes the body.
inline bool protocDecodes(const std::vector<uint8_t>& report) {
    int exitCode = -1;
    protoc("--decode=obcrash.CrashReport", std::string(report.begin() + 8, report.end()), &exitCode);
    return exitCode == 0;
}

// The sections every report must have, as the writer fills them on this system; the text format
// takes each section once, so additions to them come as arguments.
inline std::string requiredSections(const std::string& system = "architecture: ARCHITECTURE_UNKNOWN",
                                    const std::string& signal = "") {
    return R"(
system_info { operating_system: OS_UNKNOWN os_version: "6.1.0" os_build: "" timestamp: 1700000000 )" +
           system + R"( }
application_info { identifier: "com.sablix.app" version: "42" marketing_version: "1.0.0" }
signal { name: "SIGSEGV" code: "SEGV_MAPERR" address: 0 )" +
           signal + " }\n";
}

inline std::string machine(uint64_t type, uint64_t subtype, const std::string& model = "") {
    return "machine_info { processor { encoding: TYPE_ENCODING_MACH type: " + std::to_string(type) +
           " subtype: " + std::to_string(subtype) + " } processor_count: 8 logical_processor_count: 16 " + model +
           " }\n";
}
inline const std::string kMachineX86_64 = machine(0x01000007, 3);

inline std::string image(uint64_t base, uint64_t size, const std::string& name) {
    return "binary_images { base_address: " + std::to_string(base) + " size: " + std::to_string(size) + " name: \"" +
           name + "\" code_type { encoding: TYPE_ENCODING_MACH type: 16777223 subtype: 3 } }\n";
}

inline std::string thread(int number, bool crashed, int frames, uint64_t firstPc) {
    std::string text =
        "threads { thread_number: " + std::to_string(number) + " crashed: " + (crashed ? "true" : "false");
    for (int i = 0; i < frames; ++i) text += " frames { pc: " + std::to_string(firstPc + 16 * i) + " }";
    return text + " }\n";
}

}  // namespace reportfixtures
