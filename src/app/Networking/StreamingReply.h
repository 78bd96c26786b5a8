#pragma once
#include <chrono>
#include <coroutine>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include <QByteArray>
#include <QCoro/QCoroTask>

#include "orbit/HttpSession.h"
#include "platform/Log.h"

namespace sablix {

class APIClient;

// The answer to one request, read while it is still arriving (APIClient::openStream starts the
// request). Lives on the main thread. A wait never resumes from inside abort() or a call of the
// transfer: it is resumed from the event loop, so whoever waits may close or drop the reply. The
// one exception is APIClient::cancelAll() at quit, when the event loop no longer runs: it resumes
// a wait at once, ended with the cancellation.
class StreamingReply {
public:
    static constexpr const char* kCancelledMessage = "The request was cancelled.";

    // What the client's thread hands over while the transfer runs: the status, the body not yet
    // read, and the end. The body's whole size is bounded by the transfer itself (the request's
    // answer limit), so however long the main thread takes to read, no more is held.
    class Channel : public std::enable_shared_from_this<Channel> {
    public:
        // On the client's thread.
        void setStatus(int status);
        void append(std::string_view piece);
        void end(orbit::HttpResponse response);

    private:
        friend class StreamingReply;
        // Posts one wake to the main thread unless one is already on its way; called with lock held.
        void wakeLocked();
        void resumeWaiter();

        std::mutex lock;  // guards what follows but waiter
        std::optional<int> status;
        QByteArray unread;
        std::optional<orbit::HttpResponse> ended;
        bool wakePosted = false;
        std::coroutine_handle<> waiter;  // main thread only
    };

    ~StreamingReply();  // closes a connection still open
    StreamingReply(const StreamingReply&) = delete;
    StreamingReply& operator=(const StreamingReply&) = delete;

    // Waits for the status line: the HTTP status, or 0 for an answer that is not HTTP. Throws
    // TransportError when no answer came.
    QCoro::Task<int> status();
    // Waits until some of the body is there: at most maxBytes of it, or an empty array at its end.
    // Throws TransportError when the transfer breaks off, and when the body passes the request's
    // answer limit or declares a length past it (APIClient::answerTooLargeMessage; the connection
    // is closed).
    QCoro::Task<QByteArray> read(qint64 maxBytes);
    // Closes the connection now; a wait under way ends with TransportError.
    void abort();

private:
    friend class APIClient;
    StreamingReply(APIClient& client, orbit::HttpSession::ExchangeId exchange, std::shared_ptr<Channel> channel,
                   qint64 maxBodyBytes);

    // At quit (APIClient::cancelAll(), which has stopped the transfer): the reply is cancelled and
    // a wait under way resumes now, which may destroy the reply. Whether there was one.
    bool endAtQuit();

    struct Arrival {
        Channel& channel;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> waiter) noexcept { channel.waiter = waiter; }
        void await_resume() const noexcept {}
    };

    // The reason of a broken transfer, or none when it ended normally (an HTTP error status is an
    // answer, not a failure). Called with the channel's lock held.
    std::optional<std::string> failureLocked() const;

    APIClient& client_;
    const orbit::HttpSession::ExchangeId exchange_;
    const std::shared_ptr<Channel> channel_;
    const qint64 maxBodyBytes_;
    bool aborted_ = false;
};

}  // namespace sablix
