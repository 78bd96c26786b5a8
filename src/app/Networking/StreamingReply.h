#pragma once
#include <chrono>
#include <coroutine>

#include <QByteArray>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>
#include <QCoro/QCoroTask>

#include "platform/Log.h"

namespace sablix {

// The answer to one request, read while it is still arriving (APIClient::openStream starts the
// request). Lives on the main thread. A wait never resumes from inside a signal of the reply or
// from abort(): it is resumed from the event loop, so whoever waits may close or drop the reply.
class StreamingReply {
public:
    static constexpr const char* kCancelledMessage = "The request was cancelled.";
    // How much of the body may wait unread; past it the transfer pauses until the reader catches up.
    static constexpr qint64 kReadBufferBytes = 64 * 1024;

    // Takes the reply over. deadline bounds the whole transfer, from now to the last byte;
    // maxBodyBytes the whole body, over the stream's life.
    StreamingReply(QNetworkReply* reply, std::chrono::milliseconds deadline, qint64 maxBodyBytes);
    ~StreamingReply();  // closes a connection still open
    StreamingReply(const StreamingReply&) = delete;
    StreamingReply& operator=(const StreamingReply&) = delete;

    // Waits for the status line: the HTTP status, or 0 for an answer that is not HTTP. Throws
    // TransportError when no answer came.
    QCoro::Task<int> status();
    // Waits until some of the body is there: at most maxBytes of it, or an empty array at its end.
    // Throws TransportError when the transfer breaks off, and when the body passes maxBodyBytes
    // or declares a length past it (APIClient::answerTooLargeMessage; the connection is closed).
    QCoro::Task<QByteArray> read(qint64 maxBytes);
    // Closes the connection now; a wait under way ends with TransportError.
    void abort();

private:
    struct Arrival {
        StreamingReply& owner;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> waiter) noexcept { owner.waiter_ = waiter; }
        void await_resume() const noexcept {}
    };

    void wake();
    bool hasStatus() const;
    bool isOver() const;
    // The reason of a broken transfer, or none when the reply ended normally (an HTTP error
    // status is an answer, not a failure).
    std::optional<std::string> failure() const;
    // Closes the connection of a body past its limit and answers the error to throw.
    std::string stopTooLarge();

    QPointer<QNetworkReply> reply_;
    QTimer deadline_;
    std::coroutine_handle<> waiter_;
    const qint64 maxBodyBytes_;
    qint64 bytesRead_ = 0;
    bool timedOut_ = false;
    bool aborted_ = false;
    bool tooLarge_ = false;
    platform::Log logger_ = platform::appLog("StreamingReply");
};

}  // namespace sablix
