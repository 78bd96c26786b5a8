#pragma once
#include <chrono>
#include <optional>
#include <string>

#include "Accounts/CredentialStore.h"
#include "platform/Log.h"

namespace sablix {

// The credential store of a desktop session: the Secret Service on the session bus, through
// libsecret, one item per account in the default collection, found by its "service" and "account"
// attributes; the item's label is the service name. Each call waits for the service's answer.
class SecretServiceCredentialStore final : public CredentialStore {
public:
    explicit SecretServiceCredentialStore(std::string serviceName = kServiceName);

    // True when a session bus is known (never one started for the question) and a Secret Service
    // on it answers within the time-out, once started by the bus where it is started on demand.
    static bool isAvailable(std::chrono::milliseconds timeout);

    void saveString(const std::string& value, const std::string& account) override;
    std::optional<std::string> readString(const std::string& account) override;
    void deleteString(const std::string& account) override;

private:
    const std::string serviceName_;
    platform::Log logger_ = platform::appLog("KeychainManager");
};

}  // namespace sablix
