#pragma once
#include <string>
#include <string_view>

namespace posix {

// "12" → "12.0.0", "22.04" → "22.4.0": the VERSION_ID of an os-release file as major.minor.patch;
// what is missing or not a number counts as 0.
std::string osVersionFromOsRelease(std::string_view osReleaseText);

// The running system's version in that form, from /etc/os-release (or /usr/lib/os-release).
// The application's "os_version" and the analytics client's both come from here.
std::string osVersionString();

}  // namespace posix
