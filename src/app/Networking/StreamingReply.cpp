#include "Networking/StreamingReply.h"

#include <QCoreApplication>

#include "Accounts/AuthError.h"
#include "Networking/APIClient.h"

namespace sablix {

void StreamingReply::Channel::setStatus(int value) {
    std::lock_guard guard(lock);
    status = value;
    wakeLocked();
}

void StreamingReply::Channel::append(std::string_view piece) {
    std::lock_guard guard(lock);
    unread.append(piece.data(), static_cast<qsizetype>(piece.size()));
    wakeLocked();
}

void StreamingReply::Channel::end(orbit::HttpResponse response) {
    std::lock_guard guard(lock);
    ended = std::move(response);
    wakeLocked();
}

void StreamingReply::Channel::wakeLocked() {
    if (wakePosted) return;
    wakePosted = true;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [channel = weak_from_this()] {
            if (const auto alive = channel.lock()) alive->resumeWaiter();
        },
        Qt::QueuedConnection);
}

void StreamingReply::Channel::resumeWaiter() {
    {
        std::lock_guard guard(lock);
        wakePosted = false;
    }
    if (waiter) std::exchange(waiter, nullptr).resume();
}

StreamingReply::StreamingReply(APIClient& client, orbit::HttpSession::ExchangeId exchange,
                               std::shared_ptr<Channel> channel, qint64 maxBodyBytes)
    : client_(client), exchange_(exchange), channel_(std::move(channel)), maxBodyBytes_(maxBodyBytes) {
    client_.streams_.insert(this);
}

StreamingReply::~StreamingReply() {
    client_.streams_.erase(this);
    std::lock_guard guard(channel_->lock);
    if (!channel_->ended) client_.cancel(exchange_);
}

void StreamingReply::abort() {
    std::lock_guard guard(channel_->lock);
    if (aborted_ || channel_->ended) return;
    aborted_ = true;
    client_.cancel(exchange_);
    // A wait under way ends now, from the event loop.
    channel_->wakeLocked();
}

bool StreamingReply::endAtQuit() {
    {
        std::lock_guard guard(channel_->lock);
        aborted_ = true;
    }
    if (!channel_->waiter) return false;
    // Last: the waiter may destroy this reply.
    std::exchange(channel_->waiter, nullptr).resume();
    return true;
}

std::optional<std::string> StreamingReply::failureLocked() const {
    if (aborted_) return kCancelledMessage;
    if (!channel_->ended || channel_->ended->failure == orbit::HttpResponse::Failure::none) return std::nullopt;
    return client_.failureMessage(*channel_->ended, maxBodyBytes_, "Stream");
}

QCoro::Task<int> StreamingReply::status() {
    for (;;) {
        {
            std::lock_guard guard(channel_->lock);
            if (aborted_) throw TransportError(kCancelledMessage);
            if (channel_->status) co_return *channel_->status;
            if (channel_->ended) {
                if (auto reason = failureLocked()) throw TransportError(*reason);
                co_return static_cast<int>(channel_->ended->statusCode.value_or(0));
            }
        }
        co_await Arrival{*channel_};
    }
}

QCoro::Task<QByteArray> StreamingReply::read(qint64 maxBytes) {
    for (;;) {
        {
            std::lock_guard guard(channel_->lock);
            // Past its limit the body is refused at once, whatever of it is still unread.
            const bool tooLarge = channel_->ended && channel_->ended->failure == orbit::HttpResponse::Failure::tooLarge;
            if (!aborted_ && !tooLarge && !channel_->unread.isEmpty()) {
                QByteArray bytes = channel_->unread.first(std::min<qint64>(maxBytes, channel_->unread.size()));
                channel_->unread.remove(0, bytes.size());
                co_return bytes;
            }
            if (aborted_ || channel_->ended) {
                if (auto reason = failureLocked()) throw TransportError(*reason);
                co_return QByteArray();
            }
        }
        co_await Arrival{*channel_};
    }
}

}  // namespace sablix
