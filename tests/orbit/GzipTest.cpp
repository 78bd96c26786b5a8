#include <gtest/gtest.h>

#include <random>

#include "OrbitTestSupport.h"
#include "orbit/Utils/Gzip.h"
#include "support/ModelsTestSupport.h"

using orbit::GzipError;
using orbit::gzipped;

// Bodies must reach the service whole: every gzip reader gets the input back, and the members are
// exactly what zlib itself makes with the same settings.
TEST(Gzip, MembersReadBackEverywhereAndMatchZlib) {
    EXPECT_EQ(gzipped(""), "");

    std::mt19937 random(7);
    std::string noise(100'000, '\0');  // compresses to more than one growth step
    for (auto& c : noise) c = static_cast<char>(random());
    std::string events = "[";
    for (int i = 0; events.size() < 2'000'000; ++i)
        events += R"({"event":"snippet_expanded","distinct_id":"018CC820-DB2E-7000-8000-)" + std::to_string(i) +
                  R"(","properties":{"trigger_length":)" + std::to_string(i % 17) + "}},";
    events.back() = ']';

    modelstest::TempDir folder;
    const std::vector<std::string> inputs{"a", "Hello, gzip! Hello, gzip! Hello, gzip!", noise, events};
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

// What zlib refuses throws its kind (the HTTP client catches it); a missing or undecodable zlib
// message never reaches a log line.
TEST(Gzip, RefusedSettingsThrowTheirKind) {
    try {
        gzipped("abc", orbit::CompressionLevel{42});
        FAIL() << "level 42 was accepted";
    } catch (const GzipError& error) {
        EXPECT_EQ(error.kind, GzipError::Kind{GzipError::Kind::stream});
    }
    EXPECT_THROW(gzipped("abc", orbit::CompressionLevel::defaultCompression, 99), GzipError);
    EXPECT_EQ(GzipError(-3, nullptr).message, "Unknown gzip error");
    EXPECT_EQ(GzipError(-2, "\xFF\xFE").message, "Unknown gzip error");
}
