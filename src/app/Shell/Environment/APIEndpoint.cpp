#include "Shell/Environment/APIEndpoint.h"

namespace sablix {
namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

}  // namespace

APIEndpoint APIEndpoint::invitation(std::string_view token) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string segment;
    for (const unsigned char c : token) {
        if (isUnreserved(c)) {
            segment += static_cast<char>(c);
        } else {
            segment += '%';
            segment += kHex[c >> 4];
            segment += kHex[c & 0xF];
        }
    }
    return {Kind::invitation, {}, {}, std::move(segment)};
}

std::string APIEndpoint::path() const {
    const std::string teamsPrefix = "/api/teams/";
    switch (kind_) {
    case Kind::team: return teamsPrefix + first_.toString();
    case Kind::teamMembers: return teamsPrefix + first_.toString() + "/members";
    case Kind::teamMember: return teamsPrefix + first_.toString() + "/members/" + second_.toString();
    case Kind::teamSnippets: return teamsPrefix + first_.toString() + "/snippets";
    case Kind::teamSnippet: return teamsPrefix + first_.toString() + "/snippets/" + second_.toString();
    case Kind::authSignIn: return "/api/auth/signin";
    case Kind::authRefresh: return "/api/auth/refresh";
    case Kind::authSignOut: return "/api/auth/signout";
    case Kind::teams: return "/api/teams";
    case Kind::pendingInvitations: return "/api/invitations/pending";
    case Kind::syncPush: return "/api/sync/push";
    case Kind::syncPull: return "/api/sync/pull";
    case Kind::authMe: return "/api/auth/me";
    case Kind::feedback: return "/api/feedback";
    case Kind::referralsMe: return "/api/referrals/me";
    case Kind::referralsApply: return "/api/referrals/apply";
    case Kind::pendingInstallMatch: return "/api/pending-install/match";
    case Kind::generate: return "/api/generate";
    case Kind::invitation: return "/api/invitations/" + segment_;
    }
    return {};
}

}  // namespace sablix
