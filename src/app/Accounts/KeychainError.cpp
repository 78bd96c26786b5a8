#include "Accounts/KeychainError.h"

namespace sablix {

KeychainError::KeychainError(Kind kind, int32_t status) : kind_(kind), status_(status) {
    switch (kind) {
    case Kind::saveFailed: description_ = "Keychain save failed: " + std::to_string(status); break;
    case Kind::deleteFailed: description_ = "Keychain delete failed: " + std::to_string(status); break;
    case Kind::unexpectedData: description_ = "Unexpected Keychain data format"; break;
    }
}

}  // namespace sablix
