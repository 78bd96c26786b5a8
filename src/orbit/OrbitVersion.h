#pragma once
#include <string>

namespace orbit {

// The client's own name and version, as it announces itself ("User-Agent", log scope). Either
// may be replaced by a program that wraps the client; readers take a copy.
std::string orbitSdkName();
void setOrbitSdkName(std::string name);
std::string orbitVersion();
void setOrbitVersion(std::string version);

}  // namespace orbit
