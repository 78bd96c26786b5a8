#include "Teams/SubscriptionStatus.h"

#include "platform/EnumTable.h"

namespace sablix {
namespace {

constexpr platform::EnumTable<SubscriptionStatus, 4> kStatuses{{
    {SubscriptionStatus::active, "active"},
    {SubscriptionStatus::pastDue, "past_due"},
    {SubscriptionStatus::canceled, "canceled"},
    {SubscriptionStatus::expired, "expired"},
}};

}  // namespace

std::string_view rawValue(SubscriptionStatus status) { return kStatuses.raw(status); }

std::optional<SubscriptionStatus> subscriptionStatusFromRaw(std::string_view raw) { return kStatuses.parse(raw); }

}  // namespace sablix
