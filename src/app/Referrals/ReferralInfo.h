#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace sablix {

// A referral answer that does not have the expected keys or types.
class ReferralCodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The counters of the user's referrals.
struct ReferralStats {
    int64_t total = 0;
    int64_t pending = 0;
    int64_t qualified = 0;
    int64_t monthsEarned = 0;

    friend bool operator==(const ReferralStats&, const ReferralStats&) = default;
};

// The user's own referral code, the link to share and the counters, as the backend sends them.
struct ReferralInfo {
    std::string code;
    std::string shareUrl;
    ReferralStats stats;
    std::optional<std::string> availableDiscountCode;

    // Every key but "availableDiscountCode" is required with its exact JSON type (integers must
    // be integers); unknown keys are ignored. Throws ReferralCodingError.
    static ReferralInfo fromJson(const nlohmann::json& json);
    nlohmann::json toJson() const;

    friend bool operator==(const ReferralInfo&, const ReferralInfo&) = default;
};

}  // namespace sablix
