#pragma once
#include <exception>
#include <stdexcept>
#include <string>

namespace sablix {

// The account manager's failures, each with the text the user may see.
class AuthError : public std::exception {
public:
    enum class Kind { serverError, notAuthenticated, sessionExpired, invalidResponse, encodingFailed };

    static AuthError serverError(int status) { return AuthError(Kind::serverError, status); }
    static AuthError notAuthenticated() { return AuthError(Kind::notAuthenticated); }
    static AuthError sessionExpired() { return AuthError(Kind::sessionExpired); }
    static AuthError invalidResponse() { return AuthError(Kind::invalidResponse); }
    static AuthError encodingFailed() { return AuthError(Kind::encodingFailed); }

    Kind kind() const { return kind_; }
    int status() const { return status_; }  // of serverError; 0 otherwise
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    explicit AuthError(Kind kind, int status = 0);

    Kind kind_;
    int status_;
    std::string description_;
};

// A backend request that got no answer at all (refused, unreachable, timed out); the text is the
// transport's reason.
class TransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace sablix
