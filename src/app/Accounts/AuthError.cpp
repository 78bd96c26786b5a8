#include "Accounts/AuthError.h"

namespace sablix {

AuthError::AuthError(Kind kind, int status) : kind_(kind), status_(status) {
    switch (kind) {
    case Kind::serverError: description_ = "Server error (" + std::to_string(status) + ")"; break;
    case Kind::notAuthenticated: description_ = "Not signed in"; break;
    case Kind::sessionExpired: description_ = "Session expired. Please sign in again."; break;
    case Kind::invalidResponse: description_ = "Invalid response from server"; break;
    case Kind::encodingFailed: description_ = "Failed to encode user data"; break;
    }
}

}  // namespace sablix
