// Decoding a stored crash report of 20 threads with 64 frames each into the report model, against
// protobuf-c's bare unpack and free of the same body (goal: at most 2 times its time).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "RatioReporter.h"
#include "crashreporter/OBCrashReport.h"
#include "crashreporter/obcrash.pb-c.h"

namespace {

constexpr int kThreads = 20;
constexpr int kFrames = 64;

// A report as a crash handler writes one: every thread walked, the crashed one with registers.
const std::vector<uint8_t>& reportFile() {
    static const std::vector<uint8_t> file = [] {
        std::vector<Obcrash__CrashReport__Thread> threads(kThreads);
        std::vector<Obcrash__CrashReport__Thread*> threadPointers;
        std::vector<Obcrash__CrashReport__Thread__StackFrame> frames(kThreads * kFrames);
        std::vector<Obcrash__CrashReport__Thread__StackFrame*> framePointers;
        std::vector<Obcrash__CrashReport__Thread__RegisterValue> registers(17);
        std::vector<Obcrash__CrashReport__Thread__RegisterValue*> registerPointers;
        static const char* kNames[] = {"rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp", "rsp", "r8",
                                       "r9",  "r10", "r11", "r12", "r13", "r14", "r15", "rip"};
        for (size_t r = 0; r < registers.size(); ++r) {
            obcrash__crash_report__thread__register_value__init(&registers[r]);
            registers[r].name = const_cast<char*>(kNames[r]);
            registers[r].value = 0x7fff00000000 + r;
            registerPointers.push_back(&registers[r]);
        }
        for (size_t f = 0; f < frames.size(); ++f) {
            obcrash__crash_report__thread__stack_frame__init(&frames[f]);
            frames[f].pc = 0x7f1234560000 + 0x40 * f;
            framePointers.push_back(&frames[f]);
        }
        for (int t = 0; t < kThreads; ++t) {
            obcrash__crash_report__thread__init(&threads[t]);
            threads[t].thread_number = static_cast<uint32_t>(t);
            threads[t].crashed = t == 0;
            threads[t].n_frames = kFrames;
            threads[t].frames = &framePointers[static_cast<size_t>(t) * kFrames];
            if (t == 0) {
                threads[t].n_registers = registerPointers.size();
                threads[t].registers = registerPointers.data();
            }
            threadPointers.push_back(&threads[t]);
        }
        Obcrash__CrashReport__BinaryImage image;
        obcrash__crash_report__binary_image__init(&image);
        image.base_address = 0x7f1234560000;
        image.size = 0x100000;
        image.name = const_cast<char*>("/usr/lib/x86_64-linux-gnu/libc.so.6");
        Obcrash__CrashReport__BinaryImage* images[] = {&image};

        Obcrash__CrashReport__SystemInfo system;
        obcrash__crash_report__system_info__init(&system);
        system.os_version = const_cast<char*>("6.1.0");
        system.architecture = OBCRASH__ARCHITECTURE__X86_64;
        system.timestamp = 1700000000;
        Obcrash__CrashReport__ApplicationInfo application;
        obcrash__crash_report__application_info__init(&application);
        application.identifier = const_cast<char*>("com.sablix.app");
        application.version = const_cast<char*>("42");
        Obcrash__CrashReport__Signal signal;
        obcrash__crash_report__signal__init(&signal);
        signal.name = const_cast<char*>("SIGSEGV");
        signal.code = const_cast<char*>("SEGV_MAPERR");

        Obcrash__CrashReport report;
        obcrash__crash_report__init(&report);
        report.system_info = &system;
        report.application_info = &application;
        report.signal = &signal;
        report.n_threads = threadPointers.size();
        report.threads = threadPointers.data();
        report.n_binary_images = 1;
        report.binary_images = images;

        std::vector<uint8_t> bytes(8 + obcrash__crash_report__get_packed_size(&report));
        std::memcpy(bytes.data(), "obcrash\x01", 8);
        obcrash__crash_report__pack(&report, bytes.data() + 8);
        return bytes;
    }();
    return file;
}

void BM_DecodeReport(benchmark::State& state) {
    const auto& file = reportFile();
    for (auto _ : state) {
        auto report = obcrash::OBCrashReport::initWithData(file);
        if (!report) state.SkipWithError("the report did not decode");
        benchmark::DoNotOptimize(report);
    }
}

void BM_UnpackMessage(benchmark::State& state) {
    const auto& file = reportFile();
    for (auto _ : state) {
        auto* message = obcrash__crash_report__unpack(nullptr, file.size() - 8, file.data() + 8);
        if (!message) state.SkipWithError("the body did not unpack");
        benchmark::DoNotOptimize(message);
        obcrash__crash_report__free_unpacked(message, nullptr);
    }
}

BENCHMARK(BM_DecodeReport)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_UnpackMessage)->Unit(benchmark::kMicrosecond)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(argc, argv,
                                   {{"20 threads x 64 frames: report model : bare unpack (goal at most 2)",
                                     "BM_DecodeReport:median", "BM_UnpackMessage:median"}});
}
