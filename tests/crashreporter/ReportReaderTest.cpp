#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/ReportFixtures.h"
#include "crashreporter/OBCrashReport.h"

using namespace obcrash;
using namespace reportfixtures;

namespace {

std::string errorOf(const std::vector<uint8_t>& bytes) {
    OBCrashReporterError error;
    auto report = OBCrashReport::initWithData(bytes, &error);
    if (report) return "(a report)";
    EXPECT_EQ(error.domain, "OBCrashReporterErrorDomain");
    EXPECT_EQ(error.code, 2);
    return error.description;
}

std::string machCodes(int count) {
    std::string text = "mach_exception { type: 1";
    for (int i = 0; i < count; ++i) text += " codes: " + std::to_string(i);
    return text + " }";
}

TEST(ReportReader, DecodesEveryFieldOfAFullReport) {
    const auto bytes = encodeReport(requiredSections("architecture: ARCHITECTURE_UNKNOWN",
                                                     "mach_exception { type: 1 codes: 1 codes: 18446744073709551615 } "
                                                     "crash_info_message: \"abort() called\"") +
                                    machine(0x01000007, 3, "model: \"ThinkPad\"") + R"(
report_info { user_requested: false uuid: "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f" }
process_info { process_name: "sablix" process_id: 4242 process_path: "/usr/bin/sablix" parent_process_name: "systemd"
               parent_process_id: 1 native: true start_time: 1699999990 }
threads { thread_number: 0 crashed: true registers { name: "rip" value: 4198400 } registers { name: "rsp" value: 140 }
          frames { pc: 4198400 symbol { name: "main" start_address: 4198300 } } frames { pc: 4198500 } }
threads { thread_number: 1 crashed: false }
binary_images { base_address: 4194304 size: 65536 name: "/usr/bin/sablix"
                uuid: "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
                code_type { encoding: TYPE_ENCODING_MACH type: 16777223 subtype: 3 } }
binary_images { base_address: 4259840 size: 4096 name: "/lib/libc.so.6" uuid: "" }
exception { name: "std::runtime_error" reason: "" frames { pc: 4198402 } }
custom_data: ""
)");
    ASSERT_TRUE(protocDecodes(bytes));
    OBCrashReporterError error;
    const auto report = OBCrashReport::initWithData(bytes, &error);
    ASSERT_TRUE(report) << error.description;

    const auto& system = report->systemInfo();
    EXPECT_EQ(system.operatingSystem, OBCrashReportOperatingSystem::Unknown);
    EXPECT_EQ(system.operatingSystemVersion, "6.1.0");
    EXPECT_EQ(system.operatingSystemBuild, "");
    EXPECT_EQ(system.timestamp->time_since_epoch().count(), 1700000000);
    EXPECT_EQ(system.processorInfo.type, 0x01000007u);
    ASSERT_TRUE(report->hasMachineInfo());
    EXPECT_EQ(report->machineInfo()->modelName, "ThinkPad");
    EXPECT_EQ(report->machineInfo()->logicalProcessorCount, 16u);
    EXPECT_EQ(report->applicationInfo().applicationMarketingVersion, "1.0.0");
    ASSERT_TRUE(report->hasProcessInfo());
    EXPECT_EQ(report->processInfo()->processID, 4242u);
    EXPECT_EQ(report->processInfo()->parentProcessName, "systemd");
    EXPECT_EQ(report->processInfo()->processStartTime->time_since_epoch().count(), 1699999990);
    EXPECT_EQ(report->signalInfo().crashInfoMessage, "abort() called");
    ASSERT_TRUE(report->machExceptionInfo());
    EXPECT_EQ(report->machExceptionInfo()->codes, (std::vector<uint64_t>{1, UINT64_MAX}));

    ASSERT_EQ(report->threads().size(), 2u);
    const auto& crashed = report->threads()[0];
    EXPECT_TRUE(crashed.crashed);
    ASSERT_EQ(crashed.registers.size(), 2u);
    EXPECT_EQ(crashed.registers[1].registerName, "rsp");
    ASSERT_EQ(crashed.stackFrames.size(), 2u);
    EXPECT_EQ(crashed.stackFrames[0].symbolInfo->symbolName, "main");
    EXPECT_EQ(crashed.stackFrames[0].symbolInfo->endAddress, 0u);
    EXPECT_FALSE(crashed.stackFrames[1].symbolInfo);
    EXPECT_TRUE(report->threads()[1].stackFrames.empty());

    ASSERT_EQ(report->images().size(), 2u);
    EXPECT_EQ(report->images()[0].imageUUID, "000102030405060708090a0b0c0d0e0f");
    EXPECT_FALSE(report->images()[1].hasImageUUID());
    EXPECT_FALSE(report->images()[1].codeType);
    // The end of one image is the start of the next.
    EXPECT_EQ(report->imageForAddress(4194304 + 65536), &report->images()[1]);
    EXPECT_EQ(report->imageForAddress(4194303), nullptr);

    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionReason, "");
    ASSERT_TRUE(report->exceptionInfo()->stackFrames);
    EXPECT_EQ((*report->exceptionInfo()->stackFrames)[0].instructionPointer, 4198402u);
    EXPECT_EQ((*report->uuidRef())[15], 0x0f);
    ASSERT_TRUE(report->customData());
    EXPECT_TRUE(report->customData()->empty());
}

TEST(ReportReader, AcceptsWhatAHandlerWritesWhenThreadsOrImagesCouldNotBeListed) {
    // No machine information: the processor comes from the architecture. No threads, no images.
    auto bytes = encodeReport(requiredSections("architecture: X86_64") + "report_info { user_requested: true }");
    const auto report = OBCrashReport::initWithData(bytes);
    ASSERT_TRUE(report);
    EXPECT_TRUE(report->threads().empty());
    EXPECT_TRUE(report->images().empty());
    EXPECT_FALSE(report->hasMachineInfo());
    EXPECT_FALSE(report->hasProcessInfo());
    EXPECT_FALSE(report->hasExceptionInfo());
    EXPECT_FALSE(report->machExceptionInfo());
    EXPECT_FALSE(report->uuidRef());
    EXPECT_FALSE(report->customData());
    EXPECT_EQ(report->systemInfo().processorInfo.typeEncoding, OBCrashReportProcessorTypeEncoding::Mach);
    EXPECT_EQ(report->systemInfo().processorInfo.type, 0x01000007u);
    EXPECT_EQ(report->systemInfo().processorInfo.subtype, 3u);
    EXPECT_EQ(report->imageForAddress(0), nullptr);
}

TEST(ReportReader, StripsPointerAuthenticationOnlyFromArm64eFrames) {
    const std::string frames = thread(0, true, 1, 0x000F00010000ABCD) +
                               "exception { name: \"e\" reason: \"r\" frames { pc: 4222124650703821 } }\n";
    auto pcs = [&](int subtype) {
        const auto report =
            OBCrashReport::initWithData(encodeReport(requiredSections() + frames + machine(0x0100000C, subtype)));
        EXPECT_TRUE(report);
        return std::vector<uint64_t>{report->threads()[0].stackFrames[0].instructionPointer,
                                     (*report->exceptionInfo()->stackFrames)[0].instructionPointer};
    };
    EXPECT_EQ(pcs(2), (std::vector<uint64_t>{0x10000ABCD, 0x00000000ABCD}));
    EXPECT_EQ(pcs(0), (std::vector<uint64_t>{0x000F00010000ABCD, 4222124650703821}));
}

TEST(ReportReader, NamesTheFirstThingWrongWithABadReport) {
    const std::string valid = encodeBody(requiredSections() + kMachineX86_64);
    const std::string withoutSignalName = encodeBody(R"(
system_info { os_version: "6" architecture: X86_64 timestamp: 0 }
application_info { identifier: "a" version: "1" }
signal { code: "SEGV_MAPERR" address: 0 })");
    const std::string namelessRegister = encodeBody(
        requiredSections() + kMachineX86_64 + "threads { thread_number: 0 crashed: true registers { value: 1 } }");
    const std::string namelessImage =
        encodeBody(requiredSections() + kMachineX86_64 + "binary_images { base_address: 0 size: 1 }");
    auto sized = [](const std::string& body) {
        return "Could not decode crash report with size of " + std::to_string(body.size()) + " bytes.";
    };

    struct Case {
        std::string what;
        std::vector<uint8_t> bytes;
        std::string message;
    };
    std::vector<Case> cases = {
        {"empty", {}, "Could not decode truncated crash log"},
        {"header alone", withHeader(""), "Could not decode truncated crash log"},
        {"other magic", {'p', 'l', 'c', 'r', 'a', 's', 'h', 1, 0x0a, 0}, "Could not decode invalid crash log header"},
        {"version 2", withHeader(valid, 2), "Could not decode unsupported crash report version: 2"},
        {"version 0", withHeader(valid, 0), "Could not decode unsupported crash report version: 0"},
        {"not protobuf", withHeader("\xff\xff\xff\xff"), sized("\xff\xff\xff\xff")},
        {"missing required field", withHeader(withoutSignalName), sized(withoutSignalName)},
        {"nameless register", withHeader(namelessRegister), sized(namelessRegister)},
        {"nameless image", withHeader(namelessImage), sized(namelessImage)},
        {"15-byte report uuid",
         encodeReport(requiredSections() + kMachineX86_64 +
                      "report_info { user_requested: false uuid: \"123456789012345\" }"),
         "Report UUID value is not a standard 16 bytes"},
        {"no processor at all", encodeReport(requiredSections()), "Crash report has an unknown architecture"},
        {"256 Mach codes", encodeReport(requiredSections("architecture: X86_64", machCodes(256))),
         "Crash report includes too many Mach Exception codes"},
        {"255 Mach codes", encodeReport(requiredSections("architecture: X86_64", machCodes(255))), "(a report)"},
    };
    const auto header = withHeader("");
    for (ptrdiff_t length = 1; length <= 7; ++length)
        cases.push_back(
            {"short file", {header.begin(), header.begin() + length}, "Could not decode truncated crash log"});
    for (const auto& c : cases) {
        EXPECT_EQ(errorOf(c.bytes), c.message) << c.what;
        // What the reader refuses past the decoder, protoc still reads.
        if (c.message.starts_with("Report") || c.message.starts_with("Crash report") || c.message == "(a report)") {
            EXPECT_TRUE(protocDecodes(c.bytes)) << c.what;
        }
    }
}

TEST(ReportReader, EveryCutOfAReportIsAnError) {
    // The signal, the last required section, goes last as the writer puts it, so that no cut
    // ends on a complete report.
    std::string threads;
    for (int i = 0; i < 20; ++i) threads += thread(i, i == 3, 8, 0x400000 + 0x1000 * i);
    const std::string body = encodeBody(R"(system_info { os_version: "6.1.0" architecture: X86_64 timestamp: 1 }
application_info { identifier: "com.sablix.app" version: "42" })" +
                                        threads + image(0x400000, 0x100000, "/usr/bin/sablix")) +
                             encodeBody(R"(signal { name: "SIGABRT" code: "#0" address: 0 })");
    const auto whole = withHeader(body);
    ASSERT_TRUE(protocDecodes(whole));
    ASSERT_TRUE(OBCrashReport::initWithData(whole));
    for (size_t length = 0; length < whole.size(); ++length) {
        const std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(length));
        OBCrashReporterError error;
        ASSERT_FALSE(OBCrashReport::initWithData(cut, &error)) << "cut at " << length;
        EXPECT_FALSE(error.description.empty());
    }
}

TEST(ReportReader, SurvivesRandomAndMutatedBodies) {
    std::string threads;
    for (int i = 0; i < 4; ++i) threads += thread(i, i == 0, 4, 0x400000);
    const std::string valid =
        encodeBody(requiredSections("architecture: X86_64", machCodes(3)) + threads + image(0x400000, 0x1000, "/a") +
                   "exception { name: \"e\" reason: \"r\" frames { pc: 1 } }");
    std::mt19937 random(20240601);
    for (int round = 0; round < 4000; ++round) {
        std::string body;
        if (round % 2 == 0) {
            body.resize(random() % 512);
            for (auto& c : body) c = static_cast<char>(random());
        } else {
            body = valid;
            for (int flips = 1 + random() % 4; flips > 0; --flips)
                body[random() % body.size()] = static_cast<char>(random());
        }
        OBCrashReporterError error;
        const auto report = OBCrashReport::initWithData(withHeader(body), &error);
        EXPECT_TRUE(report || !error.description.empty());
    }
}

}  // namespace
