#pragma once
#include <functional>
#include <stop_token>
#include <string>

#include <QCoro/QCoroTask>

#include "Generation/AIGenerationRequest.h"

namespace sablix {

// Something that writes snippet text from a title, streaming it as it goes.
class AIServiceProtocol {
public:
    using DeltaHandler = std::function<void(const std::string& fragment)>;

    virtual ~AIServiceProtocol() = default;

    // Hands every fragment of the answer to onDelta in order (from any thread) and returns the
    // whole text, which is the fragments joined. Throws AIGenerationError (emptyResponse for a
    // blank answer), CancellationError once cancellation is requested, or the transport's error
    // (TransportError) unchanged. A requested cancellation closes the connection at once.
    virtual QCoro::Task<std::string> generateStream(AIGenerationRequest request, DeltaHandler onDelta,
                                                    std::stop_token cancellation) = 0;
};

}  // namespace sablix
