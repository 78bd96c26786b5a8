#pragma once
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

// Absolute times depend on the machine; what a benchmark here claims is a ratio between two
// runs of the same process. The table is printed as usual, then one line per ratio.
struct BenchRatio {
    std::string what;       // e.g. "one key, 10,000 : 100 snippets (flat is 1)"
    std::string numerator;  // benchmark names as the table shows them, or "name:median" (see below)
    std::string denominator;
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred) {
                failed_ = true;
                continue;
            }
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                times_[run.benchmark_name()] = run.GetAdjustedRealTime();
            // A statistic over repetitions, under a name that does not change with their count.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_unit == benchmark::kTime)
                times_[run.run_name.function_name + ":" + run.aggregate_name] = run.GetAdjustedRealTime();
        }
    }

    void printRatio(const BenchRatio& ratio) const {
        const auto a = times_.find(ratio.numerator);
        const auto b = times_.find(ratio.denominator);
        if (a == times_.end() || b == times_.end() || b->second <= 0) return;
        std::printf("%s: %.2f\n", ratio.what.c_str(), a->second / b->second);
    }

    // Whether a benchmark ended with an error (SkipWithError).
    bool failed() const { return failed_; }

private:
    std::map<std::string, double> times_;
    bool failed_ = false;
};

// The body of a benchmark program's main. A benchmark that ended with an error fails the program.
inline int runBenchmarksWithRatios(int argc, char** argv, const std::vector<BenchRatio>& ratios) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    for (const auto& ratio : ratios) reporter.printRatio(ratio);
    benchmark::Shutdown();
    return reporter.failed() ? 1 : 0;
}
