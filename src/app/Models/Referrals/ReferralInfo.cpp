#include "Models/Referrals/ReferralInfo.h"

#include <limits>

namespace sablix {
namespace {

const nlohmann::json& required(const nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) throw ReferralCodingError(std::string("missing key \"") + key + "\"");
    return *found;
}

std::string requiredString(const nlohmann::json& object, const char* key) {
    const auto& value = required(object, key);
    if (!value.is_string()) throw ReferralCodingError(std::string("\"") + key + "\" is not a string");
    return value.get<std::string>();
}

int64_t requiredInteger(const nlohmann::json& object, const char* key) {
    const auto& value = required(object, key);
    // A fraction, a boolean or a number beyond 64 bits is not a count.
    if (value.is_number_unsigned() && value.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max()))
        throw ReferralCodingError(std::string("\"") + key + "\" is out of range");
    if (!value.is_number_integer()) throw ReferralCodingError(std::string("\"") + key + "\" is not an integer");
    return value.get<int64_t>();
}

}  // namespace

ReferralInfo ReferralInfo::fromJson(const nlohmann::json& json) {
    if (!json.is_object()) throw ReferralCodingError("the referral answer is not an object");
    const auto& stats = required(json, "stats");
    if (!stats.is_object()) throw ReferralCodingError("\"stats\" is not an object");
    ReferralInfo info;
    info.code = requiredString(json, "code");
    info.shareUrl = requiredString(json, "shareUrl");
    info.stats = ReferralStats{requiredInteger(stats, "total"), requiredInteger(stats, "pending"),
                               requiredInteger(stats, "qualified"), requiredInteger(stats, "monthsEarned")};
    auto discount = json.find("availableDiscountCode");
    if (discount != json.end() && !discount->is_null()) {
        if (!discount->is_string()) throw ReferralCodingError("\"availableDiscountCode\" is not a string");
        info.availableDiscountCode = discount->get<std::string>();
    }
    return info;
}

nlohmann::json ReferralInfo::toJson() const {
    nlohmann::json json{{"code", code},
                        {"shareUrl", shareUrl},
                        {"stats",
                         {{"total", stats.total},
                          {"pending", stats.pending},
                          {"qualified", stats.qualified},
                          {"monthsEarned", stats.monthsEarned}}}};
    if (availableDiscountCode) json["availableDiscountCode"] = *availableDiscountCode;
    return json;
}

}  // namespace sablix
