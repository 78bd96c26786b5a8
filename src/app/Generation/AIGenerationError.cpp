#include "Generation/AIGenerationError.h"

namespace sablix {

AIGenerationError AIGenerationError::rateLimited(std::optional<int64_t> retryAfterSeconds) {
    AIGenerationError error(Kind::rateLimited);
    error.retryAfterSeconds_ = retryAfterSeconds;
    error.description_ = retryAfterSeconds
                             ? "Rate limited. Try again in " + std::to_string(*retryAfterSeconds) + " seconds."
                             : "Rate limited. Please try again later.";
    return error;
}

AIGenerationError AIGenerationError::serverError(int statusCode, std::optional<std::string> message) {
    AIGenerationError error(Kind::serverError);
    error.statusCode_ = statusCode;
    error.description_ = message ? "API error (" + std::to_string(statusCode) + "): " + *message
                                 : "Server error (" + std::to_string(statusCode) + "). Please try again.";
    error.message_ = std::move(message);
    return error;
}

AIGenerationError AIGenerationError::networkError(std::string reason) {
    AIGenerationError error(Kind::networkError);
    error.description_ = "Network error: " + reason;
    error.message_ = std::move(reason);
    return error;
}

AIGenerationError AIGenerationError::emptyResponse() {
    AIGenerationError error(Kind::emptyResponse);
    error.description_ = "AI returned empty response. Try a different title or prompt.";
    return error;
}

AIGenerationError AIGenerationError::cancelled() { return AIGenerationError(Kind::cancelled); }

}  // namespace sablix
