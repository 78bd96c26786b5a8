#pragma once
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>
#include <QCoro/QCoroTask>

#include "Analytics/AnalyticsTracking.h"
#include "Accounts/AuthTokens.h"
#include "Accounts/CredentialStore.h"
#include "Accounts/User.h"
#include "Shell/DeepLinks/AuthManaging.h"
#include "Shell/DeepLinks/TeamManaging.h"
#include "Networking/APIClient.h"
#include "Networking/RequestStep.h"
#include "desktop/Workspace.h"
#include "platform/Clock.h"
#include "platform/Log.h"

namespace sablix {

// Owns the signed-in account: signs in through the browser and the "sablix://auth/callback" link,
// keeps the tokens and the user record in the credential store, restores them at creation, hands
// out a bearer token that is valid for at least another minute (refreshing it first when needed)
// and signs out. Lives on the main thread; overlapping operations are not merged: each caller that
// finds the token stale refreshes it itself.
//
// Any web page can open a callback link, so a callback counts only while a sign-in started here
// waits for it: begun within kSignInLifetime and not yet answered by a callback that was read.
//
// Team hooks: after a sign-in, a pending invitation is handed to the team manager; whenever the
// session ends (sign-out, a refresh the backend refuses with 401, or a sign-in as another user,
// before that user's session is stored) sessionEnded() is emitted after the published state has
// been cleared, for the team manager's clearAll().
class AuthManager : public QObject, public AuthManaging {
    Q_OBJECT
    Q_PROPERTY(bool isAuthenticated READ isAuthenticated NOTIFY isAuthenticatedChanged)
    Q_PROPERTY(QVariantMap currentUser READ currentUserMap NOTIFY currentUserChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(QString errorMessage READ errorMessageText NOTIFY errorMessageChanged)
    // The sign-in page's address while no browser could be opened for it, for the user to open by
    // hand; empty otherwise.
    Q_PROPERTY(QString signInAddress READ signInAddress NOTIFY signInAddressChanged)
    Q_PROPERTY(QString pendingInvitationToken READ pendingInvitationTokenText NOTIFY pendingInvitationTokenChanged)

public:
    // The items of the signed-in account in the credential store.
    static constexpr const char* kAccessTokenAccount = "auth_access_token";
    static constexpr const char* kRefreshTokenAccount = "auth_refresh_token";
    static constexpr const char* kTokenExpiryAccount = "auth_token_expiry";
    static constexpr const char* kUserIdAccount = "auth_user_id";
    static constexpr const char* kUserDataAccount = "auth_user_data";

    static constexpr const char* kRedirectURI = "sablix://auth/callback";
    static constexpr const char* kInvalidCallbackMessage = "Invalid authentication callback";
    static constexpr const char* kInvalidResponseMessage = "Invalid authentication response";
    static constexpr const char* kSignInFailedPrefix = "Sign-in failed: ";
    static constexpr const char* kNoBrowserMessage =
        "No web browser could be opened. To sign in, open this address in your browser:";
    // A token is refreshed when it has less than this left.
    static constexpr std::chrono::seconds kRefreshMargin{60};
    // The expiry assumed when the callback's own cannot be read.
    static constexpr std::chrono::seconds kFallbackLifetime{900};
    // Callback values longer than this are refused as malformed.
    static constexpr size_t kMaxCallbackValueBytes = 4096;
    // How long a sign-in started with signInWithGoogle() waits for its callback.
    static constexpr std::chrono::minutes kSignInLifetime{15};

    // bringToFront raises the application after a sign-in. requestTimeout bounds every backend
    // request (tests shorten it).
    AuthManager(CredentialStore& keychain, APIClient& client, desktop::Workspace& workspace,
                AnalyticsTracking& analytics, TeamManaging& teams, const platform::Clock& clock,
                std::function<void()> bringToFront, std::chrono::milliseconds requestTimeout = kDefaultRequestTimeout,
                QObject* parent = nullptr);

    // Opens the backend's sign-in page in the browser; the answer comes back as the callback link.
    // When no browser opens, nothing waits for a callback: errorMessage says so and signInAddress
    // holds the page's address.
    Q_INVOKABLE void signInWithGoogle();
    // The user took the sign-in address to open it by hand: its callback is awaited as after the
    // browser opened it.
    Q_INVOKABLE void signInByHand();
    // Completes a sign-in from the callback link. Failures show only in errorMessage and the log.
    QCoro::Task<> handleOAuthCallback(QUrl url) override;
    // A bearer token valid for at least another minute. Throws AuthError, TransportError or
    // AccountCodingError.
    QCoro::Task<std::string> getValidAccessToken();
    // Ends the session locally at once and tells the backend in the background.
    Q_INVOKABLE void signOut();

    bool isAuthenticated() const override { return isAuthenticated_; }
    const std::optional<User>& currentUser() const { return currentUser_; }
    bool isLoading() const { return isLoading_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    const std::optional<std::string>& pendingInvitationToken() const { return pendingInvitationToken_; }
    void setPendingInvitationToken(std::string token) override;

    QVariantMap currentUserMap() const;
    QString errorMessageText() const { return QString::fromStdString(errorMessage_.value_or("")); }
    QString signInAddress() const { return signInAddress_; }
    QString pendingInvitationTokenText() const { return QString::fromStdString(pendingInvitationToken_.value_or("")); }

    // The sign-in page's address for this environment.
    std::string buildGoogleAuthURL() const;

signals:
    void isAuthenticatedChanged();
    void currentUserChanged();
    void isLoadingChanged();
    void errorMessageChanged();
    void signInAddressChanged();
    void pendingInvitationTokenChanged();
    // The session is gone (sign-out or expiry) and the published state is already cleared.
    void sessionEnded();

private:
    void loadCachedAuth();
    void saveTokens(const AuthTokens& tokens);
    QCoro::Task<RequestResult<User>> fetchUserProfile(std::string accessToken);
    void saveUser(const User& user);
    QCoro::Task<std::string> refreshAccessToken();
    void clearStoredAuth();
    // Writes the new account's items, all or none: a store that fails part-way leaves nothing of
    // either account behind.
    void storeSession(const AuthTokens& tokens, const User& user);
    void expireSession();
    // The published user is cleared and the team state with it, as at a sign-out.
    void endSessionForAnotherUser();
    // A sign-in started here still waits for its callback.
    bool isSignInPending() const;
    void runSignInHook();

    void setAuthenticated(bool value);
    void setCurrentUser(std::optional<User> user);
    void setLoading(bool value);
    void setErrorMessage(std::optional<std::string> message);
    void setSignInAddress(const QString& address);
    // What the desktop answered about opening the sign-in page of the attempt-th sign-in.
    void browserOpened(unsigned attempt, const std::string& address, bool opened);

    CredentialStore& keychain_;
    APIClient& client_;
    desktop::Workspace& workspace_;
    AnalyticsTracking& analytics_;
    TeamManaging& teams_;
    const platform::Clock& clock_;
    std::function<void()> bringToFront_;
    const std::chrono::milliseconds requestTimeout_;
    RequestStep requests_;

    bool isAuthenticated_ = false;
    std::optional<User> currentUser_;
    bool isLoading_ = false;
    std::optional<std::string> errorMessage_;
    std::optional<std::string> pendingInvitationToken_;
    std::optional<platform::Date> signInStartedAt_;
    unsigned signInAttempts_ = 0;
    QString signInAddress_;
    platform::Log logger_ = platform::appLog("AuthManager");
};

}  // namespace sablix
