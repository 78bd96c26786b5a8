#pragma once
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QCoro/QCoroTask>

#include "Networking/APIClient.h"
#include "platform/Result.h"

namespace sablix {

// Why a request brought no decoded value; message is the text to log or show.
struct RequestError {
    enum class Kind {
        noToken,    // no bearer token could be had: the token source's reason
        cancelled,  // the owner went away meanwhile: kCancelledMessage
        unencoded,  // the body could not be written as JSON (text that is not UTF-8): the encoder's reason
        transport,  // no answer, or one past the request's answer limit: the transport's reason
        timedOut,   // no answer in time: APIClient::kTimedOutMessage
        status,     // an answer of a status the caller does not take: "the server answered HTTP status N"
        decoding,   // the answer did not decode: the decoder's error text
    };
    static constexpr const char* kCancelledMessage = "The request was cancelled.";

    RequestError(Kind kind, std::string message, int status = 0, std::optional<std::string> serverMessage = {})
        : kind(kind), message(std::move(message)), status(status), serverMessage(std::move(serverMessage)) {}

    Kind kind;
    std::string message;
    int status;  // the HTTP status, for Kind::status (and decoding)
    // A refused answer's own message: the "error" member of its JSON object, when that is text.
    std::optional<std::string> serverMessage;
};

template <class T>
using RequestResult = platform::Result<T, RequestError>;

// The statuses an answer may have to be decoded; any other is a RequestError::Kind::status.
class AcceptedStatus {
public:
    static AcceptedStatus exactly(int status) { return {status, status}; }
    static AcceptedStatus success() { return {200, 299}; }
    // Any answer at all: only a request without one fails.
    static AcceptedStatus any() { return {1, 999}; }

    bool accepts(int status) const { return status >= lowest_ && status <= highest_; }

private:
    AcceptedStatus(int lowest, int highest) : lowest_(lowest), highest_(highest) {}
    int lowest_;
    int highest_;
};

// The one way a service asks the backend (or a feed) for something: gets the bearer token when
// it has a source of one, sends through APIClient, and turns the outcome into the decoded value
// or a RequestError. A decoder may throw (a record's coding error); its text becomes the error's.
//
// Each service keeps one as a member. A request outlives neither the client nor the token source,
// but may outlive the service: what it needs is copied into the request when it starts, and an
// owner that is gone by the time the token or the answer is in ends it as cancelled.
class RequestStep {
public:
    using TokenSource = std::function<QCoro::Task<std::string>()>;

    explicit RequestStep(APIClient& client, TokenSource token = nullptr, QObject* owner = nullptr)
        : client_(client), token_(std::move(token)), owner_(owner) {}

    // The answer itself, of an accepted status. The bearer comes from the token source, when
    // there is one.
    QCoro::Task<RequestResult<APIResponse>> send(QUrl url, APIRequest request, AcceptedStatus accepted) const;
    QCoro::Task<RequestResult<APIResponse>> send(const APIEndpoint& endpoint, APIRequest request,
                                                 AcceptedStatus accepted) const {
        return send(client_.environment().url(endpoint), std::move(request), accepted);
    }

    // The answer decoded with decode(const APIResponse&).
    template <class Target, class Decode>
    QCoro::Task<RequestResult<std::invoke_result_t<Decode&, const APIResponse&>>> send(Target target,
                                                                                       APIRequest request,
                                                                                       AcceptedStatus accepted,
                                                                                       Decode decode) const {
        using Value = std::invoke_result_t<Decode&, const APIResponse&>;
        RequestResult<APIResponse> answer = co_await send(std::move(target), std::move(request), accepted);
        if (!answer) co_return platform::Failure(answer.error());
        try {
            co_return RequestResult<Value>(decode(answer.value()));
        } catch (const std::exception& error) {
            co_return platform::Failure(
                RequestError(RequestError::Kind::decoding, error.what(), answer.value().status));
        }
    }

    // The "error" member of an answer's JSON object, when that is text.
    static std::optional<std::string> serverMessage(const APIResponse& response);

private:
    APIClient& client_;
    TokenSource token_;
    QObject* owner_;
};

}  // namespace sablix
