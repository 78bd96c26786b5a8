#include "App/StorageFolders.h"

#include "platform/Log.h"
#include "posix/AtomicFile.h"
#include "posix/LogText.h"
#include "posix/PrivateFiles.h"

namespace sablix {

StorageFolders::StorageFolders(const std::vector<std::filesystem::path>& folders) {
    for (const auto& folder : folders) {
        if (const auto made = posix::createPrivateFolder(folder); !made) {
            platform::appLog("Storage").error("Cannot prepare the folder %s: %s",
                                              posix::escapedForLog(folder.string()).c_str(), made.message().c_str());
            continue;
        }
        posix::removeAbandonedTemporaries(folder);
    }
}

}  // namespace sablix
