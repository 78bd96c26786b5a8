#include <cmath>
#include <clocale>
#include <cstdlib>
#include <gtest/gtest.h>

#include "platform/Date.h"
#include "support/ChildProcess.h"
#include "support/ModelsTestSupport.h"

using platform::Date;

TEST(Date, Iso8601ReadsTheWireFormsAndRefusesTheRest) {
    EXPECT_EQ(Date::fromIso8601("2026-03-01T12:30:15Z"), Date{794061015});
    EXPECT_EQ(Date::fromIso8601("2001-01-01T02:00:00+02:00"), Date{0});
    EXPECT_EQ(Date::fromIso8601("2000-12-31T19:00:00-05:00"), Date{0});
    EXPECT_EQ(Date::fromIso8601("2001-01-01T00:00:00.25Z"), Date{0.25});
    EXPECT_EQ(Date::fromIso8601("1999-12-31T23:59:59Z"), Date{-86400.0 * 366 - 1});
    EXPECT_EQ(Date::fromIso8601("2024-02-29T00:00:00Z")->iso8601(), "2024-02-29T00:00:00Z");
    EXPECT_EQ(Date{794061015.75}.iso8601(), "2026-03-01T12:30:15Z");
    EXPECT_EQ(Date{-0.5}.iso8601(), "2000-12-31T23:59:59Z");
    for (const char* bad :
         {"", "2026-03-01", "2026-03-01T12:30:15", "2026-03-01 12:30:15Z", "2026-3-01T12:30:15Z",
          "2026-+3-01T12:30:15Z", " 2026-03-01T12:30:15Z", "2026-03-01T-1:30:15Z", "2026-13-01T00:00:00Z",
          "2026-02-30T00:00:00Z", "2025-02-29T00:00:00Z", "2026-03-01T24:00:00Z", "2026-03-01T12:30:15.Z",
          "2026-03-01T12:30:15Zjunk", "2026-03-01T12:30:15+0200", "2026-03-01T12:30:15+25:00"})
        EXPECT_FALSE(Date::fromIso8601(bad).has_value()) << bad;
}

// A date read from a number can lie beyond the four-digit years that ISO 8601 text holds; what is
// written must still read back, as the nearest date that can be written.
TEST(Date, WhatIsWrittenAlwaysReadsBack) {
    const struct {
        Date date;
        const char* text;
    } cases[] = {
        {Date::fromUnix(253402300799.0), "9999-12-31T23:59:59Z"},
        {Date::fromUnix(253402300800.0), "9999-12-31T23:59:59Z"},
        {Date{1e300}, "9999-12-31T23:59:59Z"},
        {Date::fromUnix(-62167219201.0), "0000-01-01T00:00:00Z"},
        {Date{NAN}, "0000-01-01T00:00:00Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.date.iso8601(), c.text) << c.date.secondsSince2001;
        const auto read = Date::fromIso8601(c.date.iso8601());
        ASSERT_TRUE(read.has_value()) << c.text;
        EXPECT_EQ(read->iso8601(), c.text);
    }
}

// The application runs under the user's locale, where the decimal separator may be a comma.
TEST(Date, FractionIgnoresTheProcessLocale) {
    modelstest::TempDir folder;
    int code = -1;
    testsupport::runCommand({"localedef", "-i", "de_DE", "-f", "UTF-8", folder.path() / "de_DE.UTF-8"}, &code, 30000);
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    setenv("LOCPATH", folder.path().c_str(), 1);
    const bool switched = code == 0 && std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    const auto date = Date::fromIso8601("2001-01-01T00:00:00.5Z");
    std::setlocale(LC_NUMERIC, previous.c_str());
    unsetenv("LOCPATH");
    if (!switched) GTEST_SKIP() << "cannot build a locale with a decimal comma";
    EXPECT_EQ(date, Date{0.5});
}
