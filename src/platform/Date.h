#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// A moment in time, kept as seconds since 1 January 2001 00:00:00 UTC (the reference date
// of the stored personal library), fraction included.
struct Date {
    static constexpr double kUnixOffset = 978307200.0;  // seconds from 1970 to 2001

    double secondsSince2001 = 0;

    static Date fromUnix(double unixSeconds) { return Date{unixSeconds - kUnixOffset}; }
    double unixSeconds() const { return secondsSince2001 + kUnixOffset; }

    // ISO 8601 in UTC with whole seconds, "2026-12-07T04:22:37Z".
    std::string iso8601() const;
    // Accepts "YYYY-MM-DDTHH:MM:SS" with an optional fraction and "Z" or "+HH:MM"/"-HH:MM".
    static std::optional<Date> fromIso8601(const std::string& text);

    friend bool operator==(const Date&, const Date&) = default;
    friend auto operator<=>(const Date&, const Date&) = default;
};

}  // namespace platform
