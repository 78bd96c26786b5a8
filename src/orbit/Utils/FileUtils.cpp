#include "orbit/Utils/FileUtils.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "orbit/Utils/HedgeLog.h"
#include "posix/PrivateFiles.h"

namespace orbit {

void deleteSafely(const std::filesystem::path& url) {
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(url, error))) return;
    std::filesystem::remove_all(url, error);
    if (error) hedgeLog("Error trying to delete file " + url.string() + " " + error.message());
}

void createDirectoryAtURLIfNeeded(const std::filesystem::path& url) {
    // The client's files hold the user's identity: its folders are the user's alone, an existing
    // one made by an older version included.
    if (const auto made = posix::createPrivateFolder(url); !made)
        hedgeLog("Error creating storage directory: " + made.message());
}

bool directoryExists(const std::filesystem::path& url) {
    std::error_code error;
    return std::filesystem::is_directory(url, error);
}

std::string shortestDecimal(double value) {
    if (!std::isfinite(value)) return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

}  // namespace orbit
