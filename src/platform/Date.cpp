#include "platform/Date.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace platform {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian civil date.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

std::string Date::iso8601() const {
    const auto whole = static_cast<time_t>(std::floor(unixSeconds()));
    std::tm tm{};
    gmtime_r(&whole, &tm);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buffer;
}

std::optional<Date> Date::fromIso8601(const std::string& text) {
    int year, month, day, hour, minute, second;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
                    &consumed) != 6 ||
        consumed != 19)
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    size_t pos = 19;
    double fraction = 0;
    if (pos < text.size() && text[pos] == '.') {
        size_t end = pos + 1;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        if (end == pos + 1) return std::nullopt;
        fraction = std::stod("0" + text.substr(pos, end - pos));
        pos = end;
    }
    int offset = 0;
    if (pos < text.size() && text[pos] == 'Z') {
        ++pos;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        int oh, om;
        int n = 0;
        if (std::sscanf(text.c_str() + pos + 1, "%2d:%2d%n", &oh, &om, &n) != 2 || n != 5) return std::nullopt;
        offset = (oh * 3600 + om * 60) * (text[pos] == '-' ? -1 : 1);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;
    const int64_t days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    const double unix = static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second - offset) + fraction;
    return Date::fromUnix(unix);
}

}  // namespace platform
