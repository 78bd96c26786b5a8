#pragma once
#include <optional>
#include <string_view>

namespace sablix {

// The billing state a team record carries; decoded strictly, read by nothing.
enum class SubscriptionStatus { active, pastDue, canceled, expired };

std::string_view rawValue(SubscriptionStatus status);
std::optional<SubscriptionStatus> subscriptionStatusFromRaw(std::string_view raw);

}  // namespace sablix
