#pragma once
#include <string>

#include <QCoro/QCoroTask>
#include <QUrl>

namespace sablix {

// The account manager as the link handler sees it: the sign-in callback and the invitation that
// waits for a sign-in.
class AuthManaging {
public:
    virtual ~AuthManaging() = default;

    // Reads the tokens from the callback's query and signs the user in; reports its own failures.
    virtual QCoro::Task<> handleOAuthCallback(QUrl url) = 0;
    virtual bool isAuthenticated() const = 0;
    // Kept until the next successful sign-in, which accepts it.
    virtual void setPendingInvitationToken(std::string token) = 0;
};

}  // namespace sablix
