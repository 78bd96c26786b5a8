#include <gtest/gtest.h>

#include <random>

#include "OrbitTestSupport.h"
#include "orbit/Utils/Gzip.h"
#include "support/ModelsTestSupport.h"

using orbit::GzipError;
using orbit::gzipped;

namespace {

std::string eventJson(size_t bytes) {
    std::string text = "[";
    for (int i = 0; text.size() < bytes; ++i)
        text += R"({"event":"snippet_expanded","distinct_id":"018CC820-DB2E-7000-8000-)" + std::to_string(100000 + i) +
                R"(","properties":{"trigger_length":)" + std::to_string(i % 17) + R"(,"$lib":"orbit-ios"}},)";
    text.back() = ']';
    return text;
}

}  // namespace

// Bodies must reach the service whole: every gzip reader gets the input back, and the members are
// exactly what zlib itself makes with the same settings.
TEST(Gzip, MembersReadBackEverywhereAndMatchZlib) {
    EXPECT_EQ(gzipped(""), "");

    std::mt19937 random(7);
    std::string noise(100'000, '\0');  // compresses to more than one growth step
    for (auto& c : noise) c = static_cast<char>(random());
    const std::vector<std::string> inputs{"a", "Hello, gzip! Hello, gzip! Hello, gzip!", noise, eventJson(2'000'000)};

    modelstest::TempDir folder;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const auto member = gzipped(inputs[i]);
        ASSERT_GE(member.size(), 3u);
        EXPECT_EQ(member.substr(0, 3), std::string("\x1F\x8B\x08", 3));
        const auto input = folder.path() / ("input-" + std::to_string(i));
        modelstest::writeFile(input, inputs[i]);
        modelstest::writeFile(input.string() + ".gz", member);

        int code = -1;
        testsupport::runCommand({"gzip", "-t", input.string() + ".gz"}, &code);
        EXPECT_EQ(code, 0) << "gzip -t refuses input " << i;
        EXPECT_TRUE(testsupport::runCommand({"gzip", "-dc", input.string() + ".gz"}, &code) == inputs[i])
            << "gzip -dc changes input " << i;
    }
    const auto python = orbittest::crossCheck("gzip", folder.path().string());
    if (!python) GTEST_SKIP() << "python3 is missing: the zlib and gzip module cross-check did not run";
    EXPECT_EQ(*python, "ok\n");
}

TEST(Gzip, SettingsZlibRefusesThrowTheirKind) {
    try {
        gzipped("abc", orbit::CompressionLevel{42});
        FAIL() << "level 42 was accepted";
    } catch (const GzipError& error) {
        EXPECT_EQ(error.kind, GzipError::Kind{GzipError::Kind::stream});
    }
    EXPECT_THROW(gzipped("abc", orbit::CompressionLevel::defaultCompression, 99), GzipError);

    const GzipError data(-3, nullptr);
    EXPECT_EQ(data.kind, GzipError::Kind{GzipError::Kind::data});
    EXPECT_EQ(data.message, "Unknown gzip error");
    EXPECT_EQ(GzipError(-2, "\xFF\xFE").message, "Unknown gzip error");
    EXPECT_EQ(GzipError(2, "odd").kind, (GzipError::Kind{GzipError::Kind::unknown, 2}));
    EXPECT_FALSE(GzipError(2, "odd").kind == (GzipError::Kind{GzipError::Kind::unknown, 3}));
}
