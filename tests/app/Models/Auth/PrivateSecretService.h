#pragma once
#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/ModelsTestSupport.h"

namespace authtest {

// A session bus of its own with gnome-keyring's Secret Service on it, its keyring in a temporary
// folder, for one test program. The bus starts nothing on demand, so every process here is one
// this object started and stops by its PID. When either cannot start, reason() says why.
class PrivateSecretService {
public:
    PrivateSecretService();
    ~PrivateSecretService();
    PrivateSecretService(const PrivateSecretService&) = delete;
    PrivateSecretService& operator=(const PrivateSecretService&) = delete;

    bool started() const { return reason_.empty(); }
    const std::string& reason() const { return reason_; }
    // The bus address, for DBUS_SESSION_BUS_ADDRESS.
    const std::string& address() const { return address_; }
    // The items of the service with these attributes, as the Secret Service itself counts them.
    int countItems(const std::string& service, const std::string& account) const;

private:
    modelstest::TempDir folder_;
    std::string address_;
    std::string reason_;
    std::unique_ptr<testsupport::ChildProcess> bus_;
    std::unique_ptr<testsupport::ChildProcess> keyring_;
};

}  // namespace authtest
