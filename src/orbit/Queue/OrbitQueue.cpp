#include "orbit/Queue/OrbitQueue.h"

#include <cstdio>

namespace orbit {

std::string pauseDateText(OrbitDate date) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(date);
    const std::time_t time = seconds.time_since_epoch().count();
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d +0000", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

}  // namespace orbit
