#include "Networking/RequestStep.h"

#include <QPointer>

namespace sablix {

using Kind = RequestError::Kind;

std::optional<std::string> RequestStep::serverMessage(const APIResponse& response) {
    const auto body = response.json();
    if (!body || !body->is_object()) return std::nullopt;
    const auto found = body->find("error");
    if (found == body->end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

QCoro::Task<RequestResult<APIResponse>> RequestStep::send(QUrl url, APIRequest request, AcceptedStatus accepted) const {
    // Nothing of this object is touched after the first suspension: the service that holds it
    // may be gone by then.
    APIClient& client = client_;
    const TokenSource token = token_;
    const bool owned = owner_ != nullptr;
    const QPointer<QObject> owner(owner_);
    const auto ownerGone = [&] { return owned && !owner; };

    if (token) {
        try {
            request.bearerToken = co_await token();
        } catch (const std::exception& error) {
            co_return platform::Failure(RequestError(Kind::noToken, error.what()));
        }
        if (ownerGone()) co_return platform::Failure(RequestError(Kind::cancelled, RequestError::kCancelledMessage));
    }
    APIResponse response;
    try {
        // Only the body's encoding can throw here, before anything is sent.
        response = co_await client.send(url, std::move(request));
    } catch (const std::exception& error) {
        co_return platform::Failure(RequestError(Kind::unencoded, error.what()));
    }
    if (ownerGone()) co_return platform::Failure(RequestError(Kind::cancelled, RequestError::kCancelledMessage));
    if (response.status == 0)
        co_return platform::Failure(RequestError(response.timedOut ? Kind::timedOut : Kind::transport, response.error));
    if (!accepted.accepts(response.status))
        co_return platform::Failure(RequestError(Kind::status,
                                                 "the server answered HTTP status " + std::to_string(response.status),
                                                 response.status, serverMessage(response)));
    co_return RequestResult<APIResponse>(std::move(response));
}

}  // namespace sablix
