#pragma once
#include <cstdint>
#include <exception>
#include <string>

namespace sablix {

// A failure of the credential store, with a user-facing description. The status is the store's
// platform error as a negative number (an errno or a D-Bus/libsecret error code, negated).
class KeychainError : public std::exception {
public:
    enum class Kind { saveFailed, deleteFailed, unexpectedData };

    static KeychainError saveFailed(int32_t status) { return KeychainError(Kind::saveFailed, status); }
    static KeychainError deleteFailed(int32_t status) { return KeychainError(Kind::deleteFailed, status); }
    static KeychainError unexpectedData() { return KeychainError(Kind::unexpectedData, 0); }

    Kind kind() const { return kind_; }
    int32_t status() const { return status_; }
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    KeychainError(Kind kind, int32_t status);

    Kind kind_;
    int32_t status_;
    std::string description_;
};

}  // namespace sablix
