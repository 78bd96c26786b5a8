#include "servers/SyncRoutes.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <optional>

#include <httplib.h>

namespace testservers {
namespace {

using nlohmann::json;

constexpr const char* kPushRoute = "/api/sync/push";
constexpr const char* kPullRoute = "/api/sync/pull";

void answerJson(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

std::string upperCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

bool isUuid(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

bool isDate(const std::string& text) {
    static const std::string form = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != form.size()) return false;
    for (size_t i = 0; i < form.size(); ++i)
        if (form[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != form[i]) return false;
    return true;
}

std::string now(const json& sync) {
    if (sync.contains("now") && sync["now"].is_string()) return sync["now"];
    const std::time_t seconds = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

json& syncState(json& state) {
    json& sync = state["sync"];
    if (!sync.is_object()) sync = json::object();
    for (const char* table : {"snippets", "deleted", "appliedOperations"})
        if (!sync[table].is_object()) sync[table] = json::object();
    return sync;
}

// The signed-in account's id, or none after answering 401.
std::optional<std::string> authorise(const httplib::Request& request, httplib::Response& response, const json& state) {
    const std::string authorization = request.get_header_value("Authorization");
    const std::string bearer = "Bearer ";
    if (!authorization.starts_with(bearer) || authorization.size() == bearer.size()) {
        answerJson(response, 401, {{"error", "unauthorized"}});
        return std::nullopt;
    }
    const std::string token = authorization.substr(bearer.size());
    const json* accounts = state.contains("auth") && state["auth"].is_object() && state["auth"].contains("accounts")
                               ? &state["auth"]["accounts"]
                               : nullptr;
    if (!accounts) return std::string("00000000-0000-0000-0000-000000000000");
    if (!accounts->contains(token)) {
        answerJson(response, 401, {{"error", "unauthorized"}});
        return std::nullopt;
    }
    return upperCased((*accounts)[token].value("id", "00000000-0000-0000-0000-000000000000"));
}

bool isStringArray(const json& value) {
    return value.is_array() && std::all_of(value.begin(), value.end(), [](const json& v) { return v.is_string(); });
}

// The payload's fields, or none when it is not a snippet's.
bool validPayload(const json& payload) {
    return payload.is_object() && payload.contains("snippetTitle") && payload["snippetTitle"].is_string() &&
           payload.contains("snippetContent") && payload["snippetContent"].is_string() && payload.contains("tags") &&
           isStringArray(payload["tags"]) && payload.contains("visibility") && payload["visibility"].is_string();
}

// Applies one operation and gives its result's status.
std::string apply(json& sync, const json& operation, const std::string& teamId, const std::string& ownerId,
                  const std::string& time) {
    const std::string entityId = upperCased(operation["entityId"]);
    const std::string kind = operation["operation"];
    json& snippets = sync["snippets"];
    const bool known = snippets.contains(entityId);
    if (kind == "delete") {
        if (known) snippets.erase(entityId);
        sync["deleted"][entityId] = {{"teamId", teamId}, {"deletedAt", time}};
        return "success";
    }
    const json& payload = operation["payload"];
    if (kind == "update") {
        const auto expected = payload.find("expectedVersion");
        if (!known || expected == payload.end() || !expected->is_number_integer() ||
            *expected != snippets[entityId]["version"])
            return "conflict";
    }
    json record = known ? snippets[entityId]
                        : json{{"id", entityId}, {"teamId", teamId}, {"ownerId", ownerId}, {"createdAt", time}};
    record["snippetTitle"] = payload["snippetTitle"];
    record["snippetContent"] = payload["snippetContent"];
    record["tags"] = payload["tags"];
    record["visibility"] = payload["visibility"];
    record["version"] = known ? record["version"].get<int64_t>() + 1 : 1;
    record["updatedAt"] = time;
    snippets[entityId] = std::move(record);
    sync["deleted"].erase(entityId);
    return "success";
}

void push(const httplib::Request& request, httplib::Response& response, json& state) {
    const auto owner = authorise(request, response, state);
    if (!owner) return;
    const json body = json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("teamId") || !body["teamId"].is_string() || !isUuid(body["teamId"]) ||
        !body.contains("operations") || !body["operations"].is_array() || !body.contains("clientTimestamp") ||
        !body["clientTimestamp"].is_string())
        return answerJson(response, 400, {{"error", "expected teamId, operations and clientTimestamp"}});
    for (const auto& operation : body["operations"]) {
        const bool valid = operation.is_object() && operation.contains("operationId") &&
                           operation["operationId"].is_string() && isUuid(operation["operationId"]) &&
                           operation.value("entityType", "") == "snippet" && operation.contains("entityId") &&
                           operation["entityId"].is_string() && isUuid(operation["entityId"]) &&
                           operation.contains("operation") && operation["operation"].is_string() &&
                           (operation["operation"] == "create" || operation["operation"] == "update" ||
                            operation["operation"] == "delete") &&
                           operation.contains("payload") && validPayload(operation["payload"]);
        if (!valid) return answerJson(response, 400, {{"error", "malformed operation"}, {"operation", operation}});
    }

    json& sync = syncState(state);
    const std::string time = now(sync);
    const std::string teamId = upperCased(body["teamId"]);
    json results = json::array();
    for (const auto& operation : body["operations"]) {
        const std::string operationId = upperCased(operation["operationId"]);
        const std::string entityId = upperCased(operation["entityId"]);
        std::string status = "success";
        if (!sync["appliedOperations"].contains(operationId)) {
            status = apply(sync, operation, teamId, *owner, time);
            if (status == "success") sync["appliedOperations"][operationId] = 1;
        }
        json result = {{"operationId", operationId}, {"status", status}};
        if (sync["snippets"].contains(entityId)) result["serverVersion"] = sync["snippets"][entityId]["version"];
        results.push_back(std::move(result));
    }
    answerJson(response, 200, {{"results", std::move(results)}, {"serverTimestamp", time}});
}

void pull(const httplib::Request& request, httplib::Response& response, json& state) {
    if (!authorise(request, response, state)) return;
    const std::string teamId = upperCased(request.get_param_value("teamId"));
    const std::string since = request.get_param_value("since");
    if (!isUuid(teamId) || (request.has_param("since") && !isDate(since)))
        return answerJson(response, 400, {{"error", "expected teamId and an optional since date"}});
    json& sync = syncState(state);
    json snippets = json::array();
    for (const auto& [id, snippet] : sync["snippets"].items())
        if (upperCased(snippet.value("teamId", "")) == teamId && snippet.value("updatedAt", "") >= since)
            snippets.push_back(snippet);
    json deletedIds = json::array();
    for (const auto& [id, deletion] : sync["deleted"].items())
        if (deletion.value("teamId", "") == teamId && deletion.value("deletedAt", "") >= since)
            deletedIds.push_back(id);
    answerJson(response, 200,
               {{"snippets", std::move(snippets)},
                {"deletedIds", std::move(deletedIds)},
                {"serverTimestamp", now(sync)},
                {"hasMore", false}});
}

}  // namespace

void installSyncRoutes(BackendRoutes& routes) {
    routes[kPushRoute] = push;
    routes[kPullRoute] = pull;
}

}  // namespace testservers
