#include "platform/Date.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <optional>
#include <ctime>

namespace platform {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian civil date.
constexpr int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

constexpr int64_t kSecondsPerDay = 86400;
// What a four-digit year can hold: 0000-01-01T00:00:00Z to 9999-12-31T23:59:59Z (Unix seconds).
constexpr double kEarliestWritable = static_cast<double>(daysFromCivil(0, 1, 1) * kSecondsPerDay);
constexpr double kLatestWritable = static_cast<double>(daysFromCivil(10000, 1, 1) * kSecondsPerDay - 1);

}  // namespace

std::string Date::iso8601() const {
    // A date beyond the four-digit years is written as the nearest one that reads back; the
    // conversion to time_t below would not even be defined for the far ones.
    double unix = std::floor(unixSeconds());
    if (!(unix >= kEarliestWritable)) unix = kEarliestWritable;  // NaN included
    if (unix > kLatestWritable) unix = kLatestWritable;
    const auto whole = static_cast<time_t>(unix);
    std::tm tm{};
    gmtime_r(&whole, &tm);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buffer;
}

std::optional<Date> Date::fromIso8601(const std::string& text) {
    // Fixed positions, digits only: sscanf would also take signs and spaces ("2026-+1-01").
    auto number = [&](size_t at, size_t digits) -> std::optional<int> {
        if (at + digits > text.size()) return std::nullopt;
        int value = 0;
        for (size_t i = at; i < at + digits; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    auto separator = [&](size_t at, char c) { return at < text.size() && text[at] == c; };

    const auto year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const auto hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (!year || !month || !day || !hour || !minute || !second || !separator(4, '-') || !separator(7, '-') ||
        !separator(10, 'T') || !separator(13, ':') || !separator(16, ':'))
        return std::nullopt;
    if (*month < 1 || *month > 12 || *day < 1 || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
    static constexpr int kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
    if (*day > kDaysInMonth[*month - 1] || (*month == 2 && *day == 29 && !leap)) return std::nullopt;

    size_t pos = 19;
    double fraction = 0;
    if (separator(pos, '.')) {
        // Read by hand: strtod would follow the process locale's decimal separator.
        int64_t digits = 0;
        double scale = 1;
        size_t end = pos + 1;
        for (; end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])); ++end) {
            if (scale < 1e15) {  // further digits are below a double's precision here
                digits = digits * 10 + (text[end] - '0');
                scale *= 10;
            }
        }
        if (end == pos + 1) return std::nullopt;
        fraction = static_cast<double>(digits) / scale;
        pos = end;
    }
    int offset = 0;
    if (separator(pos, 'Z')) {
        ++pos;
    } else if (separator(pos, '+') || separator(pos, '-')) {
        const auto oh = number(pos + 1, 2), om = number(pos + 4, 2);
        if (!oh || !om || !separator(pos + 3, ':') || *oh > 23 || *om > 59) return std::nullopt;
        offset = (*oh * 3600 + *om * 60) * (text[pos] == '-' ? -1 : 1);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;
    const int64_t days = daysFromCivil(*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day));
    const double unix =
        static_cast<double>(days * kSecondsPerDay + *hour * 3600 + *minute * 60 + *second - offset) + fraction;
    return Date::fromUnix(unix);
}

}  // namespace platform
