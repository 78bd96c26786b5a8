#include "Accounts/CredentialStore.h"

#include "Accounts/FileCredentialStore.h"
#include "Accounts/SecretServiceCredentialStore.h"
#include "platform/Log.h"
#include "posix/LogText.h"

namespace sablix {
namespace {

// A service started on demand by the bus gets this long to come up and answer.
constexpr std::chrono::milliseconds kSecretServiceProbeTimeout{5000};

}  // namespace

std::unique_ptr<CredentialStore> openCredentialStore(const std::filesystem::path& fileFolder) {
    const auto logger = platform::appLog("KeychainManager");
    if (SecretServiceCredentialStore::isAvailable(kSecretServiceProbeTimeout)) {
        logger.notice("Credentials are kept by the Secret Service");
        return std::make_unique<SecretServiceCredentialStore>();
    }
    auto store = std::make_unique<FileCredentialStore>(fileFolder);
    logger.notice("No Secret Service answers; credentials are kept in %s",
                  posix::escapedForLog(store->filePath().string()).c_str());
    return store;
}

}  // namespace sablix
