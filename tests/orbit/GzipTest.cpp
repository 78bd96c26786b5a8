#include <gtest/gtest.h>

#include <random>

#include "OrbitTestSupport.h"
#include "orbit/Utils/Gzip.h"
#include "support/ModelsTestSupport.h"

using orbit::gzipped;

// Bodies must reach the service whole: every gzip reader gets the input back, and the members are
// exactly what zlib itself makes with the same settings.
TEST(Gzip, MembersReadBackEverywhereAndMatchZlib) {
    EXPECT_EQ(gzipped(""), "");

    std::mt19937 random(7);
    std::string noise(100'000, '\0');  // compresses to more than one growth step
    for (auto& c : noise) c = static_cast<char>(random());
    std::string events;
    for (int i = 0; events.size() < 2'000'000; ++i)
        events += R"({"event":"snippet_expanded","distinct_id":")" + std::to_string(i * 7919) + R"("},)";

    modelstest::TempDir folder;
    const std::vector<std::string> inputs{"a", noise, events};
    for (size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(i);
        const auto input = (folder.path() / ("input-" + std::to_string(i))).string();
        modelstest::writeFile(input, inputs[i]);
        modelstest::writeFile(input + ".gz", gzipped(inputs[i]));
        int code = -1;
        testsupport::runCommand({"gzip", "-t", input + ".gz"}, &code);
        EXPECT_EQ(code, 0);
        EXPECT_TRUE(testsupport::runCommand({"gzip", "-dc", input + ".gz"}, &code) == inputs[i]);
    }
    const auto python = orbittest::crossCheck("gzip", folder.path().string());
    if (!python) GTEST_SKIP() << "python3 is missing: the zlib and gzip module cross-check did not run";
    EXPECT_EQ(*python, "ok\n");
}
