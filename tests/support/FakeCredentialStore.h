#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "Accounts/CredentialStore.h"
#include "Accounts/KeychainError.h"

namespace testsupport {

// Credentials in memory, one service. A test can make the saves of one account fail.
class FakeCredentialStore final : public sablix::CredentialStore {
public:
    void saveString(const std::string& value, const std::string& account) override {
        items_.erase(account);
        if (failingAccount_ == account) throw sablix::KeychainError::saveFailed(failingStatus_);
        items_[account] = value;
    }
    std::optional<std::string> readString(const std::string& account) override {
        auto found = items_.find(account);
        if (found == items_.end()) return std::nullopt;
        return found->second;
    }
    void deleteString(const std::string& account) override { items_.erase(account); }

    void failSaves(std::string account, int32_t status) {
        failingAccount_ = std::move(account);
        failingStatus_ = status;
    }
    const std::map<std::string, std::string>& items() const { return items_; }
    std::map<std::string, std::string>& items() { return items_; }

private:
    std::map<std::string, std::string> items_;
    std::optional<std::string> failingAccount_;
    int32_t failingStatus_ = 0;
};

}  // namespace testsupport
