#pragma once
#include <chrono>
#include <optional>
#include <string>

#include <QUrl>

#include "Generation/AIServiceProtocol.h"
#include "platform/Log.h"

namespace sablix {

class APIClient;
class AuthManager;
class StreamingReply;

// The client of the backend's generation proxy: sends the title, the hint and the token limit to
// "/api/generate" with the signed-in account's token, reads the answer as server-sent events and
// turns an error answer into an AIGenerationError. Keeps no state between calls; every client
// sends through the application's one APIClient.
class ProxyService final : public AIServiceProtocol {
public:
    static constexpr const char* kInvalidURLReason = "Invalid proxy URL configuration";
    static constexpr const char* kInvalidResponseReason = "Invalid response";
    static constexpr const char* kInvalidRequestReason = "Invalid request";
    // How long the transfer may go without receiving anything, and how long one generation may
    // take as a whole.
    static constexpr std::chrono::milliseconds kRequestTimeout{60'000};
    static constexpr std::chrono::milliseconds kResourceTimeout{300'000};
    // Of an error answer, reading stops once more than this much of the body is in.
    static constexpr qsizetype kMaxErrorBodyBytes = 4096;
    // The most of a generation's stream that is read, over its whole life: a whole answer of the
    // editor's token limit comes to about 150 KiB of events.
    static constexpr qint64 kMaxStreamBytes = 4 * 1024 * 1024;

    struct Timeouts {
        Timeouts(std::chrono::milliseconds request = kRequestTimeout,
                 std::chrono::milliseconds resource = kResourceTimeout)
            : request(request), resource(resource) {}
        std::chrono::milliseconds request;
        std::chrono::milliseconds resource;
    };

    // Tests shorten the time-outs.
    ProxyService(APIClient& client, AuthManager& auth, Timeouts timeouts = Timeouts());

    QCoro::Task<std::string> generateStream(AIGenerationRequest request, DeltaHandler onDelta,
                                            std::stop_token cancellation) override;

private:
    QCoro::Task<std::string> exchange(AIGenerationRequest request, DeltaHandler onDelta, std::stop_token cancellation);
    // Reads the start of an error answer and throws the error its status stands for.
    QCoro::Task<> handleProxyError(StreamingReply& bytes, int statusCode);
    QCoro::Task<std::optional<std::string>> getAuthToken();
    // The current environment's base URL with the generation path; none when that is no URL.
    std::optional<QUrl> endpointURL() const;

    platform::Log logger_ = platform::appLog("ProxyService");
    APIClient& client_;
    AuthManager& auth_;
    const Timeouts timeouts_;
};

}  // namespace sablix
