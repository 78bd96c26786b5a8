#include "Accounts/AuthManager.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include <QPointer>

#include "Accounts/AccountCoding.h"
#include "Accounts/AuthError.h"
#include "Accounts/KeychainError.h"
#include "Shell/DeepLinks/InvitationToken.h"
#include "Shell/DeepLinks/LinkText.h"
#include "platform/Utf8.h"
#include "posix/LogText.h"

namespace sablix {
namespace {

constexpr const char* kSessionExpiredMessage = "Session expired. Please sign in again.";

bool isControlCharacter(char32_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }

// Any value of the callback: UTF-8 without a control character, which could end a header line
// or a C string wherever the value goes.
bool isPlainText(std::string_view value) {
    for (size_t at = 0; at < value.size();) {
        const auto sequence = platform::utf8::decode(value, at);
        if (sequence.length == 0 || isControlCharacter(sequence.codePoint)) return false;
        at += sequence.length;
    }
    return true;
}

// A token travels in a header and a JSON body: printable ASCII without the space.
bool isTokenText(std::string_view value) {
    for (const char c : value)
        if (c < 0x21 || c > 0x7e) return false;
    return true;
}

// The value of the first query item named exactly name. An item without "=" has no value and
// counts as missing; "name=" is an empty value. Values that are not UTF-8 once decoded, or that
// are too long, count as missing too.
std::optional<std::string> firstQueryValue(std::string_view query, std::string_view name) {
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos) end = query.size();
        const std::string_view item = query.substr(start, end - start);
        const size_t equals = item.find('=');
        const std::string_view rawName = item.substr(0, equals);
        const QByteArray itemName =
            QByteArray::fromPercentEncoding(QByteArray(rawName.data(), static_cast<qsizetype>(rawName.size())));
        if (itemName.toStdString() == name) {
            if (equals == std::string_view::npos) return std::nullopt;
            const std::string_view rawValue = item.substr(equals + 1);
            std::string value =
                QByteArray::fromPercentEncoding(QByteArray(rawValue.data(), static_cast<qsizetype>(rawValue.size())))
                    .toStdString();
            if (value.size() > AuthManager::kMaxCallbackValueBytes || !platform::utf8::isValid(value))
                return std::nullopt;
            return value;
        }
        start = end + 1;
    }
    return std::nullopt;
}

// Seconds since 1970 as stored: the whole text a finite decimal number, nothing around it.
std::optional<double> parseExpiry(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::nullopt;
    double value = 0;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, value);
    if (error != std::errc() || stop != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

// The shortest text that reads back as the same double, always with a fractional part.
std::string expiryText(double unixSeconds) {
    char buffer[64];
    const auto [stop, error] = std::to_chars(buffer, buffer + sizeof buffer, unixSeconds, std::chars_format::fixed);
    std::string text(buffer, error == std::errc() ? stop : buffer);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

// The team hook after sign-in: nobody waits for it, and it keeps nothing of the manager.
QCoro::Task<> acceptPendingInvitation(TeamManaging& teams, std::string token, platform::Log logger) {
    const bool accepted = co_await teams.acceptInvitation(std::move(token));
    if (!accepted) co_return;
    co_await teams.fetchTeams();
    logger.info("Auto-accepted pending invitation");
}

// Why an account request failed, in the words the user sees.
std::string failureText(const RequestError& error) {
    if (error.kind == RequestError::Kind::status) return AuthError::serverError(error.status).errorDescription();
    return error.message;
}

// The backend hears of the sign-out when it can; its answer is not examined.
QCoro::Task<> notifyServerSignOut(APIClient& client, std::string accessToken, std::chrono::milliseconds timeout) {
    const APIEndpoint endpoint = APIEndpoint::authSignOut();
    APIRequest request("POST", std::nullopt, std::move(accessToken), timeout);
    co_await client.send(endpoint, std::move(request));
}

}  // namespace

AuthManager::AuthManager(CredentialStore& keychain, APIClient& client, desktop::Workspace& workspace,
                         AnalyticsTracking& analytics, TeamManaging& teams, const platform::Clock& clock,
                         std::function<void()> bringToFront, std::chrono::milliseconds requestTimeout, QObject* parent)
    : QObject(parent),
      keychain_(keychain),
      client_(client),
      workspace_(workspace),
      analytics_(analytics),
      teams_(teams),
      clock_(clock),
      bringToFront_(std::move(bringToFront)),
      requestTimeout_(requestTimeout),
      requests_(client, nullptr, this) {
    loadCachedAuth();
}

void AuthManager::loadCachedAuth() {
    const auto userText = keychain_.readString(kUserDataAccount);
    if (!userText) return;
    const auto expiry = parseExpiry(keychain_.readString(kTokenExpiryAccount));
    if (!expiry) {
        logger_.info("No token expiry found — clearing stale auth");
        clearStoredAuth();
        return;
    }
    if (clock_.now().unixSeconds() >= *expiry && !keychain_.readString(kRefreshTokenAccount)) {
        logger_.info("Cached auth expired with no refresh token — clearing");
        clearStoredAuth();
        return;
    }
    // A stale access token is refreshed on its first use.
    std::optional<User> user;
    try {
        user = User::fromJson(nlohmann::json::parse(*userText));
    } catch (const std::exception&) {
        return;
    }
    setCurrentUser(user);
    setAuthenticated(true);
    logger_.debug("Loaded cached auth for %s", posix::escapedForLog(user->email).c_str());
}

std::string AuthManager::buildGoogleAuthURL() const {
    return client_.environment().apiBaseURL() + APIEndpoint::authSignIn().path() +
           "?provider=google&redirect_uri=" + kRedirectURI;
}

void AuthManager::signInWithGoogle() {
    setLoading(true);
    setErrorMessage(std::nullopt);
    setSignInAddress({});
    signInStartedAt_ = clock_.now();
    const unsigned attempt = ++signInAttempts_;
    const std::string address = buildGoogleAuthURL();
    workspace_.openURLAndReport(address, [self = QPointer<AuthManager>(this), attempt, address](bool opened) {
        if (self) self->browserOpened(attempt, address, opened);
    });
}

void AuthManager::browserOpened(unsigned attempt, const std::string& address, bool opened) {
    // A later press of the button has its own answer coming.
    if (attempt != signInAttempts_) return;
    setLoading(false);
    if (opened) {
        logger_.info("Opened Google sign-in in browser");
        return;
    }
    logger_.error("No browser could be opened for the Google sign-in page");
    // Its callback came all the same (an opener that failed after handing the page on): nothing to say.
    if (!signInStartedAt_) return;
    // Nothing opened the page, so no callback can answer it: none is awaited.
    signInStartedAt_.reset();
    setErrorMessage(kNoBrowserMessage);
    setSignInAddress(QString::fromStdString(address));
}

void AuthManager::signInByHand() {
    if (signInAddress_.isEmpty()) return;
    signInStartedAt_ = clock_.now();
    logger_.info("Google sign-in address taken to be opened by hand");
}

void AuthManager::setSignInAddress(const QString& address) {
    if (signInAddress_ == address) return;
    signInAddress_ = address;
    emit signInAddressChanged();
}

QCoro::Task<> AuthManager::handleOAuthCallback(QUrl url) {
    if (!isSignInPending()) {
        logger_.error("OAuth callback ignored: no sign-in started from Sablix is waiting for one");
        co_return;
    }
    if (!url.isValid() || !url.hasQuery()) {
        setErrorMessage(kInvalidCallbackMessage);
        logger_.error("Invalid OAuth callback URL: %s",
                      LinkText::forLog(url.toString(QUrl::FullyEncoded).toStdString()).c_str());
        co_return;
    }
    const std::string query = url.query(QUrl::FullyEncoded).toStdString();
    auto code = firstQueryValue(query, "code");
    auto refreshToken = firstQueryValue(query, "refresh_token");
    const auto expiresAt = firstQueryValue(query, "expires_at");
    const auto userIdText = firstQueryValue(query, "user_id");
    const auto userId = userIdText ? platform::Uuid::fromString(*userIdText) : std::nullopt;
    if (!code || !refreshToken || !expiresAt || !userId) {
        setErrorMessage(kInvalidResponseMessage);
        logger_.error("Missing parameters in OAuth callback");
        co_return;
    }
    if (!isTokenText(*code) || !isTokenText(*refreshToken) || !isPlainText(*expiresAt)) {
        setErrorMessage(kInvalidResponseMessage);
        logger_.error("OAuth callback refused: a value holds a character no token or date has");
        co_return;
    }
    // The callback that answers the sign-in ends it, whatever becomes of the sign-in now.
    signInStartedAt_.reset();
    setSignInAddress({});
    const auto expiry = accountCoding::dateFromText(*expiresAt);
    const double fallback = clock_.now().unixSeconds() + static_cast<double>(kFallbackLifetime.count());

    setLoading(true);
    setErrorMessage(std::nullopt);
    // The code is the access token itself; nothing is exchanged.
    const AuthTokens tokens{std::move(*code), std::move(*refreshToken),
                            expiry.value_or(platform::Date::fromUnix(fallback)), *userId};

    QPointer<AuthManager> self(this);
    std::optional<std::string> failure;
    // Nothing is stored before the new account's profile is in: a failed callback leaves the
    // store as it was, so no one signs in halfway and no two accounts mix.
    const auto profile = co_await fetchUserProfile(tokens.accessToken);
    if (!self) co_return;
    if (!profile) {
        failure = failureText(profile.error());
    } else {
        try {
            const User& user = profile.value();
            if (isAuthenticated_ && currentUser_ && currentUser_->id != user.id) endSessionForAnotherUser();
            storeSession(tokens, user);
            setCurrentUser(user);
            setAuthenticated(true);
            analytics_.track(AnalyticsEvent::userSignIn, {{"provider", "google"}});
            analytics_.identify(user.id.toString());
            runSignInHook();
            if (bringToFront_) bringToFront_();
            logger_.info("Signed in as %s", posix::escapedForLog(user.email).c_str());
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    if (!self) co_return;
    if (failure) {
        setErrorMessage(kSignInFailedPrefix + *failure);
        logger_.error("OAuth callback failed: %s", posix::escapedForLog(*failure).c_str());
    }
    setLoading(false);
}

QCoro::Task<RequestResult<User>> AuthManager::fetchUserProfile(std::string accessToken) {
    return requests_.send(APIEndpoint::authMe(),
                          APIRequest("GET", std::nullopt, std::move(accessToken), requestTimeout_),
                          AcceptedStatus::exactly(200), [](const APIResponse& response) {
                              const auto body = response.json();
                              if (!body) throw AccountCodingError("the profile answer is not JSON");
                              return User::fromJson(*body);
                          });
}

void AuthManager::saveTokens(const AuthTokens& tokens) {
    keychain_.saveString(tokens.accessToken, kAccessTokenAccount);
    keychain_.saveString(tokens.refreshToken, kRefreshTokenAccount);
    keychain_.saveString(expiryText(tokens.expiresAt.unixSeconds()), kTokenExpiryAccount);
    keychain_.saveString(tokens.userId.toString(), kUserIdAccount);
}

void AuthManager::saveUser(const User& user) {
    std::string text;
    try {
        text = user.toJson().dump();
    } catch (const nlohmann::json::exception&) {
        throw AuthError::encodingFailed();
    }
    keychain_.saveString(text, kUserDataAccount);
}

void AuthManager::storeSession(const AuthTokens& tokens, const User& user) {
    try {
        saveTokens(tokens);
        saveUser(user);
    } catch (const KeychainError&) {
        // Part of the new account may be written over the old one: neither can be trusted now.
        clearStoredAuth();
        if (isAuthenticated_) {
            setCurrentUser(std::nullopt);
            setAuthenticated(false);
            emit sessionEnded();
        }
        throw;
    }
}

QCoro::Task<std::string> AuthManager::getValidAccessToken() {
    const auto accessToken = keychain_.readString(kAccessTokenAccount);
    if (!accessToken) throw AuthError::notAuthenticated();
    const auto expiry = parseExpiry(keychain_.readString(kTokenExpiryAccount));
    if (!expiry) co_return *accessToken;
    if (clock_.now().unixSeconds() >= *expiry - static_cast<double>(kRefreshMargin.count()))
        co_return co_await refreshAccessToken();
    co_return *accessToken;
}

QCoro::Task<std::string> AuthManager::refreshAccessToken() {
    const auto refreshToken = keychain_.readString(kRefreshTokenAccount);
    if (!refreshToken) throw AuthError::notAuthenticated();
    const auto userId = keychain_.readString(kUserIdAccount);

    APIRequest request("POST", nlohmann::json{{"refresh_token", *refreshToken}}, std::nullopt, requestTimeout_);
    QPointer<AuthManager> self(this);
    const auto answer = co_await requests_.send(APIEndpoint::authRefresh(), std::move(request),
                                                AcceptedStatus::exactly(200), [](const APIResponse& response) {
                                                    const auto body = response.json();
                                                    if (!body) throw AccountCodingError("the token answer is not JSON");
                                                    return AuthTokens::fromJson(*body);
                                                });
    if (!self) throw AuthError::notAuthenticated();
    if (!answer) {
        const RequestError& error = answer.error();
        if (error.kind == RequestError::Kind::status && error.status == 401) {
            // Only the session that sent this refresh token ends; one that a sign-in or another
            // refresh put in its place meanwhile stays.
            if (keychain_.readString(kRefreshTokenAccount) == refreshToken) expireSession();
            throw AuthError::sessionExpired();
        }
        // Whoever asked for the token has only its text to show.
        throw std::runtime_error(failureText(error));
    }
    const AuthTokens& tokens = answer.value();
    // A sign-out or another account's sign-in while the request was out: these tokens belong to
    // a session that no longer exists and must not come back.
    const auto currentUserId = keychain_.readString(kUserIdAccount);
    if (!userId || currentUserId != userId) throw AuthError::notAuthenticated();
    saveTokens(tokens);
    co_return tokens.accessToken;
}

void AuthManager::expireSession() {
    clearStoredAuth();
    setCurrentUser(std::nullopt);
    setAuthenticated(false);
    setErrorMessage(kSessionExpiredMessage);
    // The team state goes with the session, or the window would stay in a team with no way back.
    emit sessionEnded();
}

void AuthManager::endSessionForAnotherUser() {
    // The first user's teams, selection and running sync must not carry over to the second, nor
    // push its queued changes with the second user's bearer.
    setCurrentUser(std::nullopt);
    setAuthenticated(false);
    emit sessionEnded();
    logger_.info("Signing in as another user: the previous user's team state is cleared");
}

bool AuthManager::isSignInPending() const {
    if (!signInStartedAt_) return false;
    const double waited = clock_.now().unixSeconds() - signInStartedAt_->unixSeconds();
    return waited <= static_cast<double>(std::chrono::seconds(kSignInLifetime).count());
}

void AuthManager::signOut() {
    if (auto accessToken = keychain_.readString(kAccessTokenAccount))
        notifyServerSignOut(client_, std::move(*accessToken), requestTimeout_);
    clearStoredAuth();
    setCurrentUser(std::nullopt);
    setAuthenticated(false);
    setErrorMessage(std::nullopt);
    emit sessionEnded();
    analytics_.track(AnalyticsEvent::userSignOut);
    analytics_.reset();
    logger_.info("Signed out");
}

void AuthManager::clearStoredAuth() {
    for (const char* account :
         {kAccessTokenAccount, kRefreshTokenAccount, kUserDataAccount, kTokenExpiryAccount, kUserIdAccount}) {
        try {
            keychain_.deleteString(account);
        } catch (const KeychainError& error) {
            logger_.error("Could not delete %s: %s", account, posix::escapedForLog(error.what()).c_str());
        }
    }
}

void AuthManager::runSignInHook() {
    if (!pendingInvitationToken_) return;
    std::string token = std::move(*pendingInvitationToken_);
    pendingInvitationToken_.reset();
    emit pendingInvitationTokenChanged();
    acceptPendingInvitation(teams_, std::move(token), logger_);
}

void AuthManager::setPendingInvitationToken(std::string token) {
    if (!InvitationToken::isAcceptable(token)) {
        logger_.error("Pending invitation refused: the token is not a plain path segment");
        return;
    }
    pendingInvitationToken_ = std::move(token);
    emit pendingInvitationTokenChanged();
    logger_.notice("Invitation kept until sign-in");
}

QVariantMap AuthManager::currentUserMap() const {
    if (!currentUser_) return {};
    const User& user = *currentUser_;
    return {{"id", QString::fromStdString(user.id.toString())},
            {"email", QString::fromStdString(user.email)},
            {"displayName", QString::fromStdString(user.displayName)},
            {"avatarURL", user.avatarURL ? QVariant(QString::fromStdString(*user.avatarURL)) : QVariant()},
            {"authProvider", QString::fromStdString(std::string(rawValue(user.authProvider)))},
            {"createdAt", QString::fromStdString(user.createdAt.iso8601())}};
}

void AuthManager::setAuthenticated(bool value) {
    if (isAuthenticated_ == value) return;
    isAuthenticated_ = value;
    emit isAuthenticatedChanged();
}

void AuthManager::setCurrentUser(std::optional<User> user) {
    if (currentUser_ == user) return;
    currentUser_ = std::move(user);
    emit currentUserChanged();
}

void AuthManager::setLoading(bool value) {
    if (isLoading_ == value) return;
    isLoading_ = value;
    emit isLoadingChanged();
}

void AuthManager::setErrorMessage(std::optional<std::string> message) {
    if (errorMessage_ == message) return;
    errorMessage_ = std::move(message);
    emit errorMessageChanged();
}

}  // namespace sablix
