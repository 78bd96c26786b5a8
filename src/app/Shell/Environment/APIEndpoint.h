#pragma once
#include <string>
#include <string_view>

#include "platform/Uuid.h"

namespace sablix {

// One endpoint of the backend with the identifiers its path carries.
class APIEndpoint {
public:
    enum class Kind {
        team,
        teamMembers,
        teamMember,
        teamSnippets,
        teamSnippet,
        authSignIn,
        authRefresh,
        authSignOut,
        teams,
        pendingInvitations,
        syncPush,
        syncPull,
        authMe,
        feedback,
        referralsMe,
        referralsApply,
        pendingInstallMatch,
        generate,
        invitation,
    };

    static APIEndpoint team(const platform::Uuid& id) { return {Kind::team, id}; }
    static APIEndpoint teamMembers(const platform::Uuid& teamId) { return {Kind::teamMembers, teamId}; }
    static APIEndpoint teamMember(const platform::Uuid& teamId, const platform::Uuid& userId) {
        return {Kind::teamMember, teamId, userId};
    }
    static APIEndpoint teamSnippets(const platform::Uuid& teamId) { return {Kind::teamSnippets, teamId}; }
    static APIEndpoint teamSnippet(const platform::Uuid& teamId, const platform::Uuid& snippetId) {
        return {Kind::teamSnippet, teamId, snippetId};
    }
    static APIEndpoint authSignIn() { return {Kind::authSignIn}; }
    static APIEndpoint authRefresh() { return {Kind::authRefresh}; }
    static APIEndpoint authSignOut() { return {Kind::authSignOut}; }
    static APIEndpoint teams() { return {Kind::teams}; }
    static APIEndpoint pendingInvitations() { return {Kind::pendingInvitations}; }
    static APIEndpoint syncPush() { return {Kind::syncPush}; }
    static APIEndpoint syncPull() { return {Kind::syncPull}; }
    static APIEndpoint authMe() { return {Kind::authMe}; }
    static APIEndpoint feedback() { return {Kind::feedback}; }
    static APIEndpoint referralsMe() { return {Kind::referralsMe}; }
    static APIEndpoint referralsApply() { return {Kind::referralsApply}; }
    static APIEndpoint pendingInstallMatch() { return {Kind::pendingInstallMatch}; }
    static APIEndpoint generate() { return {Kind::generate}; }
    // An invitation by its token. The token comes from a link, so it is percent-encoded as one path
    // segment: "/", "?", "#" or "%" in it cannot reach another route. A token that is empty, "." or
    // ".." still names no invitation; the caller refuses those before asking.
    static APIEndpoint invitation(std::string_view token);

    Kind kind() const { return kind_; }
    // The path below the base URL; identifiers appear as upper-case UUID text.
    std::string path() const;

    friend bool operator==(const APIEndpoint&, const APIEndpoint&) = default;

private:
    APIEndpoint(Kind kind, platform::Uuid first = {}, platform::Uuid second = {}, std::string segment = {})
        : kind_(kind), first_(first), second_(second), segment_(std::move(segment)) {}

    Kind kind_;
    platform::Uuid first_;
    platform::Uuid second_;
    std::string segment_;  // already percent-encoded
};

}  // namespace sablix
