#include "orbit/Utils/OrbitAPIDateFormatter.h"

#include <cstdio>

namespace orbit {
namespace {

using namespace std::chrono;

// The digits at text[at, at + count) as a number, or -1.
int digits(std::string_view text, size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

std::string toISO8601String(OrbitDate date) {
    const auto ms = floor<milliseconds>(date);
    const auto day = floor<days>(ms);
    const year_month_day ymd{day};
    const hh_mm_ss time{ms - day};
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::optional<OrbitDate> toISO8601Date(std::string_view text) {
    constexpr size_t kWithSeconds = 20;       // 2024-01-02T03:04:05Z
    constexpr size_t kWithMilliseconds = 24;  // 2024-01-02T03:04:05.678Z
    if (text.size() != kWithSeconds && text.size() != kWithMilliseconds) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' || text.back() != 'Z')
        return std::nullopt;
    int millis = 0;
    if (text.size() == kWithMilliseconds) {
        if (text[19] != '.') return std::nullopt;
        millis = digits(text, 20, 3);
        if (millis < 0) return std::nullopt;
    }
    const int y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
    const int h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
    if (y < 0 || mo < 0 || d < 0 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59) return std::nullopt;
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;
    return OrbitDate{sys_days{ymd} + hours{h} + minutes{mi} + seconds{s} + milliseconds{millis}};
}

}  // namespace orbit
