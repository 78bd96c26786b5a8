#include "servers/TeamRoutes.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <mutex>
#include <random>
#include <vector>

#include <httplib.h>

#include "servers/LowerCased.h"

namespace testservers {
namespace {

using nlohmann::json;

constexpr const char* kTeamsRoute = "/api/teams";
constexpr const char* kTeamRoute = "/api/teams/";
constexpr const char* kPendingInvitationsRoute = "/api/invitations/pending";
constexpr const char* kInvitationRoute = "/api/invitations/";
constexpr int kInvitationLifetimeSeconds = 7 * 24 * 3600;

enum class Rank { none, viewer, editor, admin, owner };

Rank rankOf(const json& role) {
    if (!role.is_string()) return Rank::none;
    const std::string text = role.get<std::string>();
    if (text == "viewer") return Rank::viewer;
    if (text == "editor") return Rank::editor;
    if (text == "admin") return Rank::admin;
    if (text == "owner") return Rank::owner;
    return Rank::none;
}

// The roles an invitation or a role change may hand out: ownership is never given away here.
bool isAssignableRole(const json& role) {
    const Rank rank = rankOf(role);
    return rank == Rank::viewer || rank == Rank::editor || rank == Rank::admin;
}

// object[key], or null when the object has no such key: fixtures written by hand may lack one.
const json& field(const json& object, const char* key) {
    static const json kNull;
    if (!object.is_object()) return kNull;
    const auto found = object.find(key);
    return found == object.end() ? kNull : *found;
}

void answerJson(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

void refuse(httplib::Response& response, int status, const std::string& message) {
    answerJson(response, status, {{"error", message}});
}

bool sameId(const json& id, const std::string& other) {
    return id.is_string() && lowerCased(id.get<std::string>()) == lowerCased(other);
}

std::string now(int secondsLater = 0) {
    const std::time_t time = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) + secondsLater;
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string randomHex(size_t digits) {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::lock_guard lock(mutex);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < digits; ++i) text += kHex[generator() % 16];
    return text;
}

// A version 4 UUID in lower case, as the real backend's database writes them.
std::string newId() {
    std::string hex = randomHex(32);
    hex[12] = '4';
    hex[16] = "89ab"[hex[16] % 4];
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20);
}

json& section(json& state, const char* key) {
    json& teams = state["teams"];
    if (!teams.is_object()) teams = json::object();
    json& list = teams[key];
    if (!list.is_array()) list = json::array();
    return list;
}

// The signed-in account of the request, or none after answering 401.
const json* caller(const httplib::Request& request, httplib::Response& response, const json& state) {
    const std::string authorization = request.get_header_value("Authorization");
    const std::string bearer = "Bearer ";
    const json& accounts = field(field(state, "auth"), "accounts");
    if (authorization.starts_with(bearer) && accounts.is_object()) {
        const auto found = accounts.find(authorization.substr(bearer.size()));
        if (found != accounts.end() && field(*found, "id").is_string()) return &*found;
    }
    refuse(response, 401, "unauthorized");
    return nullptr;
}

json* memberOf(json& team, const json& user) {
    if (!team.is_object() || !team["members"].is_array()) return nullptr;
    for (json& member : team["members"])
        if (sameId(field(member, "userId"), field(user, "id").get<std::string>())) return &member;
    return nullptr;
}

// The team as one member sees it.
json teamView(const json& team, const json& member) {
    json view = team;
    view.erase("members");
    view["seatsUsed"] = field(team, "members").size();
    view["role"] = field(member, "role");
    return view;
}

json parsedBody(const httplib::Request& request) {
    auto body = json::parse(request.body, nullptr, false);
    return body.is_object() ? body : json();
}

void listTeams(const json& user, httplib::Response& response, json& state) {
    json teams = json::array();
    for (json& team : section(state, "teams"))
        if (const json* member = memberOf(team, user)) teams.push_back(teamView(team, *member));
    answerJson(response, 200, {{"teams", teams}});
}

void createTeam(const httplib::Request& request, const json& user, httplib::Response& response, json& state) {
    const json body = parsedBody(request);
    if (!body.is_object() || !field(body, "name").is_string() || field(body, "name").get<std::string>().empty())
        return refuse(response, 400, "Team name is required");
    json team{{"id", newId()},
              {"name", field(body, "name")},
              {"createdAt", now()},
              {"defaultPermission", "edit"},
              {"allowMemberInvites", false},
              {"seatsPurchased", 1},
              {"subscriptionStatus", "active"}};
    for (const char* key : {"description", "iconEmoji"})
        if (body.contains(key) && body[key].is_string()) team[key] = body[key];
    json owner{{"id", newId()},
               {"userId", field(user, "id")},
               {"email", field(user, "email")},
               {"displayName", user.value("displayName", "")},
               {"role", "owner"},
               {"joinedAt", now()}};
    team["members"] = json::array({owner});
    section(state, "teams").push_back(team);
    answerJson(response, 201, teamView(team, owner));
}

void updateTeam(const httplib::Request& request, json& team, const json& member, httplib::Response& response) {
    if (rankOf(field(member, "role")) < Rank::admin)
        return refuse(response, 403, "Only owners and admins can edit the team");
    const json body = parsedBody(request);
    if (!body.is_object()) return refuse(response, 400, "Invalid JSON");
    for (const char* key : {"name", "description", "iconEmoji", "defaultPermission"})
        if (body.contains(key) && body[key].is_string()) team[key] = body[key];
    if (body.contains("allowMemberInvites") && field(body, "allowMemberInvites").is_boolean())
        team["allowMemberInvites"] = field(body, "allowMemberInvites");
    answerJson(response, 200, teamView(team, member));
}

json openInvitations(json& state, const std::string& teamId) {
    json invitations = json::array();
    for (const json& invitation : section(state, "invitations")) {
        if (!sameId(field(invitation, "teamId"), teamId)) continue;
        json sent = invitation;
        sent.erase("teamId");
        invitations.push_back(sent);
    }
    return invitations;
}

void inviteMember(const httplib::Request& request, json& team, const json& member, httplib::Response& response,
                  json& state) {
    if (rankOf(field(member, "role")) < Rank::admin) return refuse(response, 403, "Only owners and admins can invite");
    const json body = parsedBody(request);
    if (!body.is_object() || !field(body, "email").is_string() || field(body, "email").get<std::string>().empty())
        return refuse(response, 400, "Email is required");
    if (!isAssignableRole(field(body, "role"))) return refuse(response, 400, "Invalid role");
    for (const json& existing : team["members"])
        if (field(existing, "email") == field(body, "email"))
            return refuse(response, 409, "Already a member of this team");
    json invitation{{"id", newId()},
                    {"teamId", team["id"]},
                    {"email", field(body, "email")},
                    {"role", field(body, "role")},
                    {"token", randomHex(32)},
                    {"expiresAt", now(kInvitationLifetimeSeconds)},
                    {"createdAt", now()}};
    section(state, "invitations").push_back(invitation);
    invitation.erase("teamId");
    answerJson(response, 201, invitation);
}

void changeMember(const httplib::Request& request, json& team, const json& member, const std::string& userId,
                  httplib::Response& response) {
    json* target = nullptr;
    for (json& candidate : team["members"])
        if (sameId(field(candidate, "userId"), userId)) target = &candidate;
    const bool removesItself = sameId(field(member, "userId"), userId);
    if (rankOf(field(member, "role")) < Rank::admin && !(request.method == "DELETE" && removesItself))
        return refuse(response, 403, "Only owners and admins can manage members");
    if (!target) return refuse(response, 404, "Member not found");
    if (rankOf(field(*target, "role")) == Rank::owner)
        return refuse(response, 403, "The owner cannot leave or change role; delete the team instead");
    if (request.method == "PUT") {
        const json body = parsedBody(request);
        if (!body.is_object() || !isAssignableRole(field(body, "role"))) return refuse(response, 400, "Invalid role");
        (*target)["role"] = field(body, "role");
        return answerJson(response, 200, *target);
    }
    if (request.method != "DELETE") return refuse(response, 405, "method not allowed");
    auto& members = team["members"];
    members.erase(std::remove_if(members.begin(), members.end(),
                                 [&](const json& candidate) { return sameId(field(candidate, "userId"), userId); }),
                  members.end());
    answerJson(response, 200, {{"success", true}});
}

// /api/teams/<id>[/members[/<userId>]]
void teamRoute(const httplib::Request& request, httplib::Response& response, json& state) {
    const json* user = caller(request, response, state);
    if (!user) return;
    std::vector<std::string> segments;
    const std::string rest = request.path.substr(std::string(kTeamRoute).size());
    for (size_t start = 0; start <= rest.size();) {
        const size_t end = std::min(rest.find('/', start), rest.size());
        segments.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    json& teams = section(state, "teams");
    const auto team =
        std::find_if(teams.begin(), teams.end(), [&](const json& t) { return sameId(field(t, "id"), segments[0]); });
    json* member = team == teams.end() ? nullptr : memberOf(*team, *user);
    if (!member) return refuse(response, 404, "Team not found");
    const json self = *member;

    if (segments.size() == 1) {
        if (request.method == "PUT") return updateTeam(request, *team, self, response);
        if (request.method != "DELETE") return refuse(response, 405, "method not allowed");
        if (rankOf(field(self, "role")) != Rank::owner)
            return refuse(response, 403, "Only the owner can delete the team");
        const std::string teamId = (*team)["id"];
        teams.erase(team);
        auto& invitations = section(state, "invitations");
        invitations.erase(
            std::remove_if(invitations.begin(), invitations.end(),
                           [&](const json& invitation) { return sameId(field(invitation, "teamId"), teamId); }),
            invitations.end());
        return answerJson(response, 200, {{"success", true}});
    }
    if (segments[1] != "members" || segments.size() > 3) return refuse(response, 404, "no such route");
    if (segments.size() == 3) return changeMember(request, *team, self, segments[2], response);
    if (request.method == "POST") return inviteMember(request, *team, self, response, state);
    if (request.method != "GET") return refuse(response, 405, "method not allowed");
    answerJson(response, 200,
               {{"members", (*team)["members"]}, {"invitations", openInvitations(state, (*team)["id"])}});
}

void pendingInvitations(const httplib::Request& request, httplib::Response& response, json& state) {
    const json* user = caller(request, response, state);
    if (!user) return;
    json pending = json::array();
    for (const json& invitation : section(state, "invitations")) {
        if (field(invitation, "email") != field(*user, "email")) continue;
        json entry{{"id", field(invitation, "id")},
                   {"token", field(invitation, "token")},
                   {"role", field(invitation, "role")},
                   {"teamId", field(invitation, "teamId")},
                   {"teamName", ""},
                   {"expiresAt", field(invitation, "expiresAt")},
                   {"createdAt", field(invitation, "createdAt")}};
        for (const json& team : section(state, "teams")) {
            if (!field(invitation, "teamId").is_string() ||
                !sameId(field(team, "id"), field(invitation, "teamId").get<std::string>()))
                continue;
            entry["teamName"] = field(team, "name");
            if (team.contains("iconEmoji")) entry["teamIcon"] = team["iconEmoji"];
        }
        pending.push_back(entry);
    }
    answerJson(response, 200, {{"invitations", pending}});
}

void acceptInvitation(const httplib::Request& request, httplib::Response& response, json& state) {
    const json* user = caller(request, response, state);
    if (!user) return;
    if (request.method != "POST") return refuse(response, 405, "method not allowed");
    // The raw segment, as a router sees it: an unencoded "/" would make it more than one.
    std::string segment = request.target.substr(0, request.target.find('?'));
    if (!segment.starts_with(kInvitationRoute)) return refuse(response, 404, "Invitation not found");
    segment = segment.substr(std::string(kInvitationRoute).size());
    if (segment.empty() || segment.find('/') != std::string::npos) return refuse(response, 404, "Invitation not found");
    const std::string token = httplib::detail::decode_url(segment, false);

    auto& invitations = section(state, "invitations");
    const auto invitation = std::find_if(invitations.begin(), invitations.end(),
                                         [&](const json& candidate) { return field(candidate, "token") == token; });
    if (invitation == invitations.end()) return refuse(response, 404, "Invitation not found");
    if (field(*invitation, "email") != field(*user, "email"))
        return refuse(response, 403, "This invitation is for someone else");
    const json& teamId = field(*invitation, "teamId");
    json& teams = section(state, "teams");
    const auto team = std::find_if(teams.begin(), teams.end(), [&](const json& t) {
        return teamId.is_string() && sameId(field(t, "id"), teamId.get<std::string>());
    });
    if (team == teams.end()) return refuse(response, 404, "Team not found");
    if (memberOf(*team, *user)) return refuse(response, 409, "Already a member of this team");
    json member{{"id", newId()},
                {"userId", field(*user, "id")},
                {"email", field(*user, "email")},
                {"displayName", field(*user, "displayName")},
                {"role", field(*invitation, "role")},
                {"joinedAt", now()}};
    if (field(*user, "avatarURL").is_string()) member["avatarUrl"] = field(*user, "avatarURL");
    (*team)["members"].push_back(member);
    const json joined = (*team)["id"];
    invitations.erase(invitation);
    answerJson(response, 200, {{"success", true}, {"teamId", joined}});
}

}  // namespace

void installTeamRoutes(BackendRoutes& routes, BackendRoutes& prefixRoutes) {
    routes[kTeamsRoute] = [](const httplib::Request& request, httplib::Response& response, json& state) {
        const json* user = caller(request, response, state);
        if (!user) return;
        if (request.method == "GET") return listTeams(*user, response, state);
        if (request.method == "POST") return createTeam(request, *user, response, state);
        refuse(response, 405, "method not allowed");
    };
    prefixRoutes[kTeamRoute] = teamRoute;
    routes[kPendingInvitationsRoute] = pendingInvitations;
    prefixRoutes[kInvitationRoute] = acceptInvitation;
}

}  // namespace testservers
