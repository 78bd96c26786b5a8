#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace sablix {

// What one generation asks for. Not an aggregate on purpose: g++ 12 destroys an aggregate
// temporary twice inside a co_await expression.
struct AIGenerationRequest {
    AIGenerationRequest(std::string snippetTitle, std::optional<std::string> promptHint, int64_t maxTokens)
        : snippetTitle(std::move(snippetTitle)), promptHint(std::move(promptHint)), maxTokens(maxTokens) {}

    std::string snippetTitle;               // already trimmed by the caller
    std::optional<std::string> promptHint;  // absent while the hint field is closed
    int64_t maxTokens;
};

}  // namespace sablix
