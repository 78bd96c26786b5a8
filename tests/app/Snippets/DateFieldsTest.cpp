#include <gtest/gtest.h>
#include <memory>

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include "Snippets/DynamicFieldProcessor.h"
#include "support/ChildProcess.h"
#include "support/FakePasteboard.h"

using sablix::DynamicFieldContext;
using sablix::DynamicFieldProcessor;

namespace {

// 2026-06-26 23:30 UTC: still the 26th in New York, already the 27th in Tokyo and Berlin.
const platform::Date kMoment = platform::Date::fromUnix(1782516600);

struct Place {
    const char* locale;
    const char* zone;
    const char* known = "";  // "{date}, {date:short}, {day}" at kMoment, written out by hand
};

std::string icuFormat(icu::DateFormat* format, const char* zone, UDate date) {
    std::unique_ptr<icu::DateFormat> owned(format);
    owned->adoptTimeZone(icu::TimeZone::createTimeZone(zone));
    icu::UnicodeString out;
    owned->format(date, out);
    std::string text;
    out.toUTF8String(text);
    return text;
}

UDate icuDaysLater(const Place& place, UDate from, int days) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(
        icu::Calendar::createInstance(icu::TimeZone::createTimeZone(place.zone), icu::Locale(place.locale), status));
    calendar->setTime(from, status);
    calendar->add(UCAL_DATE, days, status);
    return calendar->getTime(status);
}

std::string expand(const std::string& text, const platform::Clock& clock, const Place& place) {
    testsupport::FakePasteboard pasteboard;
    return DynamicFieldProcessor::process(text, {}, {}, 0,
                                          DynamicFieldContext{clock, place.locale, place.zone, &pasteboard});
}

}  // namespace

TEST(DateFields, MatchTheLocalesOwnFormatsInTheGivenTimeZone) {
    const platform::FakeClock clock(kMoment);
    const UDate now = kMoment.unixSeconds() * 1000.0;
    for (const Place place : {Place{"en_US", "America/New_York", "June 26, 2026, 6/26/26, Friday"},
                              Place{"de_DE", "Europe/Berlin", "27. Juni 2026, 27.06.26, Samstag"},
                              Place{"ja_JP", "Asia/Tokyo", "2026年6月27日, 2026/06/27, 土曜日"}}) {
        SCOPED_TRACE(place.locale);
        const icu::Locale locale(place.locale);
        auto date = [&](icu::DateFormat::EStyle style, int days) {
            return icuFormat(icu::DateFormat::createDateInstance(style, locale), place.zone,
                             icuDaysLater(place, now, days));
        };
        UErrorCode status = U_ZERO_ERROR;
        const std::string weekday = icuFormat(new icu::SimpleDateFormat("EEEE", locale, status), place.zone, now);
        const std::string time =
            icuFormat(icu::DateFormat::createTimeInstance(icu::DateFormat::kShort, locale), place.zone, now);
        using F = icu::DateFormat;
        EXPECT_EQ(
            expand("{date}|{date:short}|{time}|{day}|{date+0}|{date+40}|{date-1:short}|{date+365:short}", clock, place),
            date(F::kLong, 0) + "|" + date(F::kShort, 0) + "|" + time + "|" + weekday + "|" + date(F::kLong, 0) + "|" +
                date(F::kLong, 40) + "|" + date(F::kShort, -1) + "|" + date(F::kShort, 365));
        EXPECT_EQ(expand("{date}, {date:short}, {day}", clock, place), place.known);
    }
}

TEST(DateFields, MalformedFieldsStayAndOddOffsetsFollowTheRules) {
    const platform::FakeClock clock(kMoment);
    const Place ny{"en_US", "America/New_York"};
    EXPECT_EQ(expand("{date+1:long} {date+} {Date} {date +1} {date+1 }", clock, ny),
              "{date+1:long} {date+} {Date} {date +1} {date+1 }");
    // An offset that does not parse counts as 0.
    EXPECT_EQ(expand("{date+1234567890123456789012345}", clock, ny), "June 26, 2026");
    EXPECT_EQ(expand("{date-\u0663:short}", clock, ny), "6/26/26");
    // One the calendar cannot reach ends the step: this and later date fields stay as written.
    EXPECT_EQ(expand("{date+1} {date+9000000000000} {date-1} {date}", clock, ny),
              "June 27, 2026 {date+9000000000000} {date-1} June 26, 2026");
    // A field can be completed by the expansion of one inside it only where the date allows.
    EXPECT_EQ(expand("{date{date+1}}", clock, ny), "{dateJune 27, 2026}");
}

TEST(DateFields, DayArithmeticKeepsTheClockTimeAcrossADaylightSavingChange) {
    const Place ny{"en_US", "America/New_York"};
    struct Case {
        double unix;        // the present moment
        const char* local;  // the same moment as New York wall time, for date(1)
        int days;
    };
    // 23:30 the evening before clocks go forward, and 00:30 the morning after: adding 24 hours
    // instead of a calendar day lands on the wrong day in both.
    for (const Case c : {Case{1772944200, "2026-03-07 23:30", 1}, Case{1773030600, "2026-03-09 00:30", -1},
                         Case{1793421000, "2026-10-31 23:30", 1}}) {
        SCOPED_TRACE(c.local);
        const platform::FakeClock clock(platform::Date::fromUnix(c.unix));
        int exitCode = -1;
        const std::string relative = c.days > 0 ? " 1 day" : " 1 day ago";
        std::string expected = testsupport::runCommand({"date", "-d", std::string(c.local) + relative, "+%-m/%-d/%y"},
                                                       &exitCode, 10000, {"TZ=America/New_York", "LC_ALL=C"});
        ASSERT_EQ(exitCode, 0);
        while (!expected.empty() && expected.back() == '\n') expected.pop_back();
        const std::string field = c.days > 0 ? "{date+1:short}" : "{date-1:short}";
        EXPECT_EQ(expand(field, clock, ny), expected);
    }
}
