#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include "OrbitTestSupport.h"
#include "orbit/Utils/TimeBasedEpochGenerator.h"
#include "support/ModelsTestSupport.h"

using orbit::OrbitDate;
using orbit::TimeBasedEpochGenerator;
using orbit::Uuid;

namespace {

OrbitDate atMillis(int64_t ms) { return OrbitDate{std::chrono::milliseconds(ms)}; }

}  // namespace

TEST(TimeOrderedIdentifiers, TimeBitsFollowTheClock) {
    std::atomic<int64_t> clock{1645557742000};
    TimeBasedEpochGenerator generator([&] { return atMillis(clock); });

    const Uuid first = generator.v7();
    EXPECT_TRUE(first.toString().starts_with("017F22E2-79B0-7")) << first.toString();
    EXPECT_TRUE(std::string("89AB").find(first.toString()[19]) != std::string::npos) << first.toString();

    // Within one millisecond the random part counts up by one.
    const Uuid second = generator.v7();
    EXPECT_GT(second, first);
    EXPECT_TRUE(std::equal(first.bytes().begin(), first.bytes().begin() + 6, second.bytes().begin()));
    const auto low = [](const Uuid& id) {
        uint64_t value = 0;
        for (size_t i = 9; i < 16; ++i) value = value << 8 | id.bytes()[i];
        return value;
    };
    if (low(first) != 0x00FFFFFFFFFFFFFF) {
        EXPECT_EQ(low(second), low(first) + 1);
    }

    clock = 1704164645678;  // 2024-01-02T03:04:05.678Z
    EXPECT_TRUE(generator.v7().toString().starts_with("018CC820-DB2E-7"));

    // A clock stepped back gives the earlier time with fresh random bits.
    clock = 1645557741999;
    const Uuid earlier = generator.v7();
    EXPECT_TRUE(earlier.toString().starts_with("017F22E2-79AF-7"));
    EXPECT_LT(earlier, first);

    // A clock before 1970 gives the smallest time instead of failing.
    clock = -5000;
    EXPECT_TRUE(generator.v7().toString().starts_with("00000000-0000-7"));
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
                ids.reserve(kEach);
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
