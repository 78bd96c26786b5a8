#pragma once
#include <memory>

#include "platform/PathMonitor.h"

namespace sablix {

// The path monitor of this machine: the desktop's network manager through Qt where its backend
// loads, else our own watch of the kernel's routing tables. Logs which one it chose. Call on
// the main thread.
std::unique_ptr<platform::PathMonitor> makeSystemPathMonitor();

}  // namespace sablix
