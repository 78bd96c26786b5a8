#pragma once
#include <filesystem>
#include <string>

namespace orbit {

// Removes whatever is at the path (a file or a whole folder); a failure is only logged.
void deleteSafely(const std::filesystem::path& url);

// Creates the folder and its missing parents when nothing is at the path; a failure is only logged.
void createDirectoryAtURLIfNeeded(const std::filesystem::path& url);

// True only when something is at the path and it is a folder.
bool directoryExists(const std::filesystem::path& url);

// The shortest decimal text that reads back as the same double, always with a fraction:
// 5.0, 10.0, 1700000000.0, 0.25.
std::string shortestDecimal(double value);

}  // namespace orbit
