#include "Referrals/ReferralInfo.h"

#include "Shared/StrictJsonReader.h"

namespace sablix {
namespace {
using Reader = StrictJsonReader<ReferralCodingError, kRecordWording>;
}  // namespace

ReferralInfo ReferralInfo::fromJson(const nlohmann::json& json) {
    Reader::requireObject(json, "referral answer");
    const auto& stats = Reader::required(json, "stats");
    Reader::requireObject(stats, "\"stats\" value");
    ReferralInfo info;
    info.code = Reader::requiredString(json, "code");
    info.shareUrl = Reader::requiredString(json, "shareUrl");
    info.stats =
        ReferralStats{Reader::requiredInteger(stats, "total"), Reader::requiredInteger(stats, "pending"),
                      Reader::requiredInteger(stats, "qualified"), Reader::requiredInteger(stats, "monthsEarned")};
    info.availableDiscountCode = Reader::optionalString(json, "availableDiscountCode");
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
