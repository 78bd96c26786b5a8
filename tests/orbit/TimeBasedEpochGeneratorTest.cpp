#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "OrbitTestSupport.h"
#include "orbit/Utils/TimeBasedEpochGenerator.h"
#include "support/ModelsTestSupport.h"

using orbit::OrbitDate;
using orbit::TimeBasedEpochGenerator;
using orbit::Uuid;

// The time bits follow the clock, also when it steps back or stands before 1970; within one
// millisecond identifiers still rise.
TEST(TimeOrderedIdentifiers, TimeBitsFollowTheClock) {
    std::atomic<int64_t> clock{1645557742000};
    TimeBasedEpochGenerator generator([&] { return OrbitDate{std::chrono::milliseconds(clock)}; });
    const Uuid first = generator.v7();
    EXPECT_TRUE(first.toString().starts_with("017F22E2-79B0-7")) << first.toString();
    EXPECT_GT(generator.v7(), first);

    for (const auto& [millis, prefix] : std::vector<std::pair<int64_t, std::string>>{
             {1704164645678, "018CC820-DB2E-7"}, {1645557741999, "017F22E2-79AF-7"}, {-5000, "00000000-0000-7"}}) {
        clock = millis;
        EXPECT_TRUE(generator.v7().toString().starts_with(prefix)) << prefix;
    }
}

// What Python's uuid module makes of a million identifiers made in a row: version 7, the RFC
// variant, canonical upper-case text, each above the one before.
TEST(TimeOrderedIdentifiers, AMillionReadAsVersion7ByPython) {
    modelstest::TempDir folder;
    const auto path = folder.path() / "ids";
    {
        std::string text;
        text.reserve(37 * 1'000'000);
        for (int i = 0; i < 1'000'000; ++i) text += Uuid::v7().toString() + "\n";
        modelstest::writeFile(path, text);
    }
    const auto python = orbittest::crossCheck("uuid7", path.string());
    if (!python) GTEST_SKIP() << "python3 is missing: the uuid module cross-check did not run";
    EXPECT_EQ(*python, "ok\n");
}

TEST(TimeOrderedIdentifiers, ThreadsNeverShareOneAndEachSeesThemRise) {
    constexpr int kThreads = 8, kEach = 100'000;
    std::vector<std::vector<Uuid>> made(kThreads);
    {
        std::vector<std::jthread> threads;
        for (auto& ids : made)
            threads.emplace_back([&ids] {
                for (int i = 0; i < kEach; ++i) ids.push_back(Uuid::v7());
            });
    }
    std::vector<Uuid> all;
    for (const auto& ids : made) {
        EXPECT_TRUE(std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<>()) == ids.end());
        all.insert(all.end(), ids.begin(), ids.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_TRUE(std::adjacent_find(all.begin(), all.end()) == all.end());
}
