#pragma once
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace sablix {

// A generation that failed in a way the user is told about, with the text shown for it.
// cancelled alone has no text: it is a silent stop.
class AIGenerationError : public std::exception {
public:
    enum class Kind { rateLimited, serverError, networkError, emptyResponse, cancelled };

    static AIGenerationError rateLimited(std::optional<int64_t> retryAfterSeconds);
    static AIGenerationError serverError(int statusCode, std::optional<std::string> message);
    static AIGenerationError networkError(std::string reason);
    static AIGenerationError emptyResponse();
    static AIGenerationError cancelled();

    Kind kind() const { return kind_; }
    std::optional<int64_t> retryAfterSeconds() const { return retryAfterSeconds_; }
    int statusCode() const { return statusCode_; }
    const std::optional<std::string>& message() const { return message_; }
    const std::optional<std::string>& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_ ? description_->c_str() : "cancelled"; }

    friend bool operator==(const AIGenerationError& a, const AIGenerationError& b) {
        return a.kind_ == b.kind_ && a.retryAfterSeconds_ == b.retryAfterSeconds_ && a.statusCode_ == b.statusCode_ &&
               a.message_ == b.message_;
    }

private:
    explicit AIGenerationError(Kind kind) : kind_(kind) {}

    Kind kind_;
    std::optional<int64_t> retryAfterSeconds_;
    int statusCode_ = 0;
    std::optional<std::string> message_;  // the server's message, or networkError's reason
    std::optional<std::string> description_;
};

}  // namespace sablix
