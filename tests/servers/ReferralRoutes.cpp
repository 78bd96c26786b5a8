#include "servers/ReferralRoutes.h"

#include <algorithm>

#include <httplib.h>

namespace testservers {
namespace {

void answerJson(httplib::Response& response, int status, const nlohmann::json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

// state["referrals"][table], when it is there.
const nlohmann::json* referralTable(const nlohmann::json& state, const char* table) {
    auto referrals = state.find("referrals");
    if (referrals == state.end() || !referrals->is_object()) return nullptr;
    auto found = referrals->find(table);
    return found == referrals->end() ? nullptr : &*found;
}

// The referral information of the request's bearer token, or none.
const nlohmann::json* infoOfCaller(const httplib::Request& request, const nlohmann::json& state) {
    const std::string authorization = request.get_header_value("Authorization");
    const std::string bearer = "Bearer ";
    const nlohmann::json* infos = referralTable(state, "info");
    if (!authorization.starts_with(bearer) || !infos || !infos->is_object()) return nullptr;
    auto found = infos->find(authorization.substr(bearer.size()));
    return found == infos->end() ? nullptr : &*found;
}

}  // namespace

void installReferralRoutes(BackendRoutes& routes) {
    routes["/api/referrals/me"] = [](const httplib::Request& request, httplib::Response& response,
                                     const nlohmann::json& state) {
        const nlohmann::json* info = infoOfCaller(request, state);
        if (!info) return answerJson(response, 401, {{"error", "unauthorized"}});
        answerJson(response, 200, *info);
    };
    routes["/api/referrals/apply"] = [](const httplib::Request& request, httplib::Response& response,
                                        const nlohmann::json& state) {
        if (!infoOfCaller(request, state)) return answerJson(response, 401, {{"error", "unauthorized"}});
        const auto body = nlohmann::json::parse(request.body, nullptr, false);
        if (!body.is_object() || !body.contains("code") || !body["code"].is_string())
            return answerJson(response, 400, {{"error", "A code is required"}});
        const nlohmann::json* codes = referralTable(state, "codes");
        const bool known =
            codes && codes->is_array() && std::find(codes->begin(), codes->end(), body["code"]) != codes->end();
        if (!known) return answerJson(response, 400, {{"error", "Invalid referral code"}});
        answerJson(response, 200, {{"success", true}});
    };
}

}  // namespace testservers
