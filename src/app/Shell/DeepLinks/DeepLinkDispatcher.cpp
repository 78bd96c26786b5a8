#include "Shell/DeepLinks/DeepLinkDispatcher.h"

#include <QPointer>

#include "Shell/DeepLinks/InvitationToken.h"
#include "Shell/DeepLinks/LinkText.h"
#include "platform/Utf8.h"

namespace sablix {

namespace {

// The host as the link writes it. QUrl lower-cases hosts, but "AUTH" must not pass for "auth".
std::optional<std::string_view> hostAsWritten(std::string_view link) {
    const size_t colon = link.find(':');
    if (colon == std::string_view::npos || link.substr(colon + 1, 2) != "//") return std::nullopt;
    const std::string_view rest = link.substr(colon + 3);
    const std::string_view host = rest.substr(0, rest.find_first_of("/?#"));
    if (host.empty()) return std::nullopt;
    return host;
}

}  // namespace

DeepLinkDispatcher::DeepLinkDispatcher(AuthManaging& auth, TeamManaging& teams, TemplateLinkInstalling& templates,
                                       std::function<void()> bringToFront, QObject* parent)
    : QObject(parent), auth_(auth), teams_(teams), templates_(templates), bringToFront_(std::move(bringToFront)) {}

void DeepLinkDispatcher::open(const std::vector<std::string>& links) {
    for (const auto& link : links) dispatch(link);
}

void DeepLinkDispatcher::dispatch(std::string_view link) {
    if (link.size() > kMaxLinkBytes) {
        logger_.error("Link ignored: %zu bytes, more than %zu", link.size(), kMaxLinkBytes);
        return;
    }
    if (!platform::utf8::isValid(link)) {
        logger_.error("Link ignored: not UTF-8");
        return;
    }
    const QUrl url(QString::fromUtf8(link.data(), static_cast<qsizetype>(link.size())), QUrl::StrictMode);
    if (!url.isValid()) {
        // The parser's own message quotes the whole link, query values included.
        logger_.error("Link ignored: malformed (%s)", LinkText::forLog(link).c_str());
        return;
    }
    const auto host = hostAsWritten(link);
    if (!host) {
        logger_.error("Link ignored: no host");
        return;
    }
    if (*host == "auth") {
        // The callback reports its own outcome; nobody waits for it.
        auth_.handleOAuthCallback(url);
    } else if (*host == "invite") {
        handleInvitation(url);
    } else if (*host == "install" || *host == "install-pack") {
        handleTemplateInstall(url);
    } else {
        logger_.error("Link ignored: unknown host \"%.*s\"", static_cast<int>(host->size()), host->data());
    }
}

void DeepLinkDispatcher::handleInvitation(const QUrl& url) {
    auto token = LinkText::lastPathComponent(url);
    if (!token) {
        logger_.error("Invitation link ignored: no token");
        return;
    }
    if (!InvitationToken::isAcceptable(*token)) {
        logger_.error("Invitation link refused: the token is not a plain path segment");
        return;
    }
    acceptInvitation(std::move(*token));
}

QCoro::Task<> DeepLinkDispatcher::acceptInvitation(std::string token) {
    if (!auth_.isAuthenticated()) {
        auth_.setPendingInvitationToken(std::move(token));
        co_return;
    }
    QPointer<DeepLinkDispatcher> self(this);
    const bool accepted = co_await teams_.acceptInvitation(std::move(token));
    if (self && accepted) co_await teams_.fetchTeams();
}

QCoro::Task<> DeepLinkDispatcher::handleTemplateInstall(QUrl url) {
    QPointer<DeepLinkDispatcher> self(this);
    co_await templates_.installFromLink(std::move(url));
    if (self) bringToFront_();
}

}  // namespace sablix
