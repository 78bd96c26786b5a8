#pragma once
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace sablix {

// Where the signed-in account's secrets are kept: text values, each under an account name inside
// one service. Every save replaces the account's value; reads fold every failure into "no value".
// Synchronous; called on the main thread only.
class CredentialStore {
public:
    static constexpr const char* kServiceName = "com.sablix.app";

    virtual ~CredentialStore() = default;

    // Throws KeychainError: unexpectedData when value is not UTF-8 text, saveFailed when the
    // store refuses it (the account then holds no value).
    virtual void saveString(const std::string& value, const std::string& account) = 0;
    // The account's value; none when it is absent or cannot be read as UTF-8 text. Never throws.
    virtual std::optional<std::string> readString(const std::string& account) = 0;
    // Removes the account's value; an absent one is no failure. Throws KeychainError deleteFailed.
    virtual void deleteString(const std::string& account) = 0;
};

// The store of this desktop: its Secret Service when one answers on the session bus, otherwise a
// private file in fileFolder. Logs which one it chose.
std::unique_ptr<CredentialStore> openCredentialStore(const std::filesystem::path& fileFolder);

}  // namespace sablix
