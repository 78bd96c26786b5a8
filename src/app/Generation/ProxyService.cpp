#include "Generation/ProxyService.h"

#include <nlohmann/json.hpp>

#include "Accounts/AuthError.h"
#include "Accounts/AuthManager.h"
#include "Generation/AIGenerationError.h"
#include "Generation/CancellationError.h"
#include "Generation/SSEStreamParser.h"
#include "Networking/APIClient.h"
#include "Networking/StreamingReply.h"
#include "platform/Utf8.h"
#include "posix/LogText.h"

namespace sablix {
namespace {

// "retry_after" as a whole number of seconds, when the body is an object that has one.
std::optional<int64_t> retryAfter(const std::optional<nlohmann::json>& body) {
    if (!body || !body->is_object()) return std::nullopt;
    const auto found = body->find("retry_after");
    if (found == body->end()) return std::nullopt;
    if (found->is_number_integer() && !found->is_number_unsigned()) return found->get<int64_t>();
    if (found->is_number_unsigned() && found->get<uint64_t>() <= uint64_t(INT64_MAX)) return found->get<int64_t>();
    return std::nullopt;
}

}  // namespace

ProxyService::ProxyService(APIClient& client, AuthManager& auth, Timeouts timeouts)
    : client_(client), auth_(auth), timeouts_(timeouts) {}

std::optional<QUrl> ProxyService::endpointURL() const {
    const std::string address = client_.environment().apiBaseURL() + APIEndpoint::generate().path();
    QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) return std::nullopt;
    return url;
}

QCoro::Task<std::string> ProxyService::generateStream(AIGenerationRequest request, DeltaHandler onDelta,
                                                      std::stop_token cancellation) {
    // Closing the connection makes a wait under way end with a transport error; to the caller it
    // is the cancellation it asked for.
    try {
        co_return co_await exchange(std::move(request), std::move(onDelta), cancellation);
    } catch (const TransportError&) {
        if (cancellation.stop_requested()) throw CancellationError();
        throw;
    }
}

QCoro::Task<std::string> ProxyService::exchange(AIGenerationRequest request, DeltaHandler onDelta,
                                                std::stop_token cancellation) {
    const std::optional<QUrl> url = endpointURL();
    if (!url) throw AIGenerationError::networkError(kInvalidURLReason);
    const nlohmann::json body = {{"snippetTitle", request.snippetTitle},
                                 {"promptHint", request.promptHint.value_or("")},
                                 {"maxTokens", request.maxTokens}};
    std::optional<std::string> token = co_await getAuthToken();
    if (cancellation.stop_requested()) throw CancellationError();

    const std::unique_ptr<StreamingReply> opened = client_.openStream(
        *url, APIRequest("POST", body, std::move(token), timeouts_.request, kMaxStreamBytes), timeouts_.resource);
    StreamingReply& reply = *opened;
    std::stop_callback closeWhenCancelled(cancellation, [&reply] { reply.abort(); });
    const int status = co_await reply.status();
    if (cancellation.stop_requested()) throw CancellationError();
    if (status == 0) throw AIGenerationError::networkError(kInvalidResponseReason);
    if (status != 200) co_await handleProxyError(reply, status);
    co_return co_await SSEStreamParser::parse(reply, std::move(onDelta), cancellation);
}

QCoro::Task<> ProxyService::handleProxyError(StreamingReply& bytes, int statusCode) {
    QByteArray buffer;
    while (buffer.size() <= kMaxErrorBodyBytes) {
        const QByteArray more = co_await bytes.read(kMaxErrorBodyBytes + 1 - buffer.size());
        if (more.isEmpty()) break;
        buffer += more;
    }
    // The rest of the body is never read.
    bytes.abort();

    std::optional<nlohmann::json> parsed;
    try {
        parsed = nlohmann::json::parse(buffer.begin(), buffer.end());
    } catch (const nlohmann::json::exception& error) {
        logger_.error("Failed to parse proxy error response: %s", posix::escapedForLog(error.what()).c_str());
        const std::string_view text(buffer.constData(), static_cast<size_t>(buffer.size()));
        if (platform::utf8::isValid(text)) logger_.debug("Raw error body: %.*s", int(text.size()), text.data());
    }

    switch (statusCode) {
    case 400: throw AIGenerationError::networkError(kInvalidRequestReason);
    case 429: throw AIGenerationError::rateLimited(retryAfter(parsed));
    default: throw AIGenerationError::serverError(statusCode, std::nullopt);
    }
}

QCoro::Task<std::optional<std::string>> ProxyService::getAuthToken() {
    if (!auth_.isAuthenticated()) co_return std::nullopt;
    std::optional<std::string> token;
    try {
        token = co_await auth_.getValidAccessToken();
    } catch (const std::exception&) {
        // The request goes out without a token; the backend's answer tells the user.
    }
    co_return token;
}

}  // namespace sablix
