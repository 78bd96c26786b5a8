#include "servers/IngestServer.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <regex>
#include <set>

#include <httplib.h>

#include "servers/LowerCased.h"

namespace testservers {
namespace {

constexpr const char* kLogRoute = "/__test/log";
constexpr const char* kResetRoute = "/__test/reset";
constexpr const char* kAnswerRoute = "/__test/answer";
constexpr const char* kAnyPath = "/.*";
constexpr const char* kContentType = "application/json; charset=utf-8";

// The server files the connection's addresses among the headers; they were never sent.
bool isConnectionDetail(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

void answerJson(httplib::Response& response, int status, const nlohmann::json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

bool matches(const nlohmann::json& value, const char* pattern) {
    return value.is_string() && std::regex_match(value.get<std::string>(), std::regex(pattern));
}

constexpr const char* kUuidPattern = "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}";
constexpr const char* kDatePattern = R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)";

// The keys of an object against those it must and may have.
void checkKeys(const nlohmann::json& object, const std::string& what, const std::set<std::string>& required,
               const std::set<std::string>& optional, std::vector<std::string>& problems) {
    for (const auto& key : required)
        if (!object.contains(key)) problems.push_back(what + " lacks \"" + key + "\"");
    for (const auto& [key, value] : object.items())
        if (!required.contains(key) && !optional.contains(key))
            problems.push_back(what + " has the unexpected key \"" + key + "\"");
}

void checkEvent(const nlohmann::json& event, const std::string& what, bool needsApiKey,
                std::vector<std::string>& problems) {
    if (!event.is_object()) return problems.push_back(what + " is not an object");
    std::set<std::string> required{"event", "distinct_id", "properties", "timestamp", "uuid"};
    std::set<std::string> optional{"api_key"};
    if (needsApiKey) {
        required.insert("api_key");
        optional.clear();
    }
    checkKeys(event, what, required, optional, problems);
    if (!event.value("event", nlohmann::json()).is_string()) problems.push_back(what + ": \"event\" is not text");
    if (!event.value("distinct_id", nlohmann::json()).is_string())
        problems.push_back(what + ": \"distinct_id\" is not text");
    if (!event.value("properties", nlohmann::json()).is_object())
        problems.push_back(what + ": \"properties\" is not an object");
    if (!matches(event.value("timestamp", nlohmann::json()), kDatePattern))
        problems.push_back(what + ": \"timestamp\" is not a UTC date with milliseconds");
    if (!matches(event.value("uuid", nlohmann::json()), kUuidPattern))
        problems.push_back(what + ": \"uuid\" is not an upper-case UUID");
    if (event.contains("api_key") && !event["api_key"].is_string())
        problems.push_back(what + ": \"api_key\" is not text");
}

void checkHeaders(const IngestRequest& request, const char* method, bool gzipped, std::vector<std::string>& problems) {
    if (request.method != method) problems.push_back("the method is " + request.method + ", not " + method);
    if (request.header("content-type") != kContentType)
        problems.push_back("\"Content-Type\" is \"" + request.header("content-type") + "\"");
    if (request.header("user-agent").find('/') == std::string::npos)
        problems.push_back("\"User-Agent\" is not name/version");
    if (request.header("accept-encoding").find("gzip") == std::string::npos)
        problems.push_back("\"Accept-Encoding\" does not offer gzip");
    if (gzipped && request.header("content-encoding") != "gzip") problems.push_back("the body is not gzipped");
    if (!gzipped && request.headers.contains("content-encoding"))
        problems.push_back("the body has a \"Content-Encoding\"");
}

void checkQuery(const IngestRequest& request, const std::map<std::string, std::string>& expected,
                std::vector<std::string>& problems) {
    for (const auto& [name, value] : request.query)
        if (!expected.contains(name)) problems.push_back("the query has the unexpected item \"" + name + "\"");
    for (const auto& [name, value] : expected) {
        auto found = request.query.find(name);
        if (found == request.query.end())
            problems.push_back("the query lacks \"" + name + "\"");
        else if (!value.empty() && found->second != value)
            problems.push_back("the query item \"" + name + "\" is \"" + found->second + "\"");
    }
}

bool isHex(const nlohmann::json& value, size_t digits) {
    if (!value.is_string()) return false;
    const auto& text = value.get_ref<const std::string&>();
    return text.size() == digits &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// Nanoseconds as OTLP/JSON carries them: the decimal text of an unsigned 64-bit number.
bool isNanos(const nlohmann::json& value) {
    if (!value.is_string()) return false;
    const auto& text = value.get_ref<const std::string&>();
    uint64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// A collector decodes the ids of every log record as hex of a fixed length, and its times as
// decimal text, and refuses the whole request for one that is not.
void checkLogRecords(const nlohmann::json& body, std::vector<std::string>& problems) {
    const auto resourceLogs = body.value("resourceLogs", nlohmann::json());
    if (!resourceLogs.is_array()) return problems.push_back("\"resourceLogs\" is not an array");
    const auto list = [](const nlohmann::json& object, const char* key) {
        return object.is_object() && object.contains(key) && object[key].is_array() ? object[key]
                                                                                    : nlohmann::json::array();
    };
    for (const auto& resource : resourceLogs)
        for (const auto& scope : list(resource, "scopeLogs"))
            for (const auto& record : list(scope, "logRecords")) {
                if (!record.is_object()) continue;
                if (record.contains("traceId") && !isHex(record["traceId"], 32))
                    problems.push_back("invalid traceId " + record["traceId"].dump());
                if (record.contains("spanId") && !isHex(record["spanId"], 16))
                    problems.push_back("invalid spanId " + record["spanId"].dump());
                for (const char* time : {"timeUnixNano", "observedTimeUnixNano"})
                    if (record.contains(time) && !isNanos(record[time]))
                        problems.push_back(std::string("invalid ") + time + " " + record[time].dump());
            }
}

std::vector<std::string> problemsOf(const IngestRequest& request) {
    std::vector<std::string> problems;
    const auto& json = request.json;
    if (request.route == "batch") {
        checkHeaders(request, "POST", true, problems);
        checkQuery(request, {}, problems);
        if (!json.is_object()) return problems.push_back("the body is not a JSON object"), problems;
        checkKeys(json, "the body", {"api_key", "batch", "sent_at"}, {}, problems);
        if (!json.value("api_key", nlohmann::json()).is_string()) problems.push_back("\"api_key\" is not text");
        if (!matches(json.value("sent_at", nlohmann::json()), kDatePattern))
            problems.push_back("\"sent_at\" is not a UTC date with milliseconds");
        const auto batch = json.value("batch", nlohmann::json());
        if (!batch.is_array()) return problems.push_back("\"batch\" is not an array"), problems;
        for (size_t i = 0; i < batch.size(); ++i) checkEvent(batch[i], "event " + std::to_string(i), false, problems);
    } else if (request.route == "snapshot") {
        checkHeaders(request, "POST", true, problems);
        checkQuery(request, {}, problems);
        if (!json.is_array()) return problems.push_back("the body is not a JSON array"), problems;
        for (size_t i = 0; i < json.size(); ++i) checkEvent(json[i], "snapshot " + std::to_string(i), true, problems);
    } else if (request.route == "logs") {
        checkHeaders(request, "POST", true, problems);
        checkQuery(request, {{"token", ""}}, problems);
        if (request.query.contains("token") && request.query.at("token").empty())
            problems.push_back("the token is empty");
        if (!json.is_object()) return problems.push_back("the body is not a JSON object"), problems;
        checkKeys(json, "the body", {"resourceLogs"}, {}, problems);
        checkLogRecords(json, problems);
    } else if (request.route == "flags") {
        checkHeaders(request, "POST", false, problems);
        checkQuery(request, {{"v", "2"}}, problems);
        if (!json.is_object()) return problems.push_back("the body is not a JSON object"), problems;
        checkKeys(json, "the body", {"api_key", "distinct_id", "groups", "timezone"},
                  {"$anon_distinct_id", "$device_id", "person_properties", "group_properties", "evaluation_contexts"},
                  problems);
        for (const char* key : {"api_key", "distinct_id", "timezone", "$anon_distinct_id", "$device_id"})
            if (json.contains(key) && !json[key].is_string())
                problems.push_back(std::string("\"") + key + "\" is not text");
        for (const char* key : {"groups", "person_properties", "group_properties"})
            if (json.contains(key) && !json[key].is_object())
                problems.push_back(std::string("\"") + key + "\" is not an object");
        if (json.contains("evaluation_contexts") && !json["evaluation_contexts"].is_array())
            problems.push_back("\"evaluation_contexts\" is not an array");
    } else if (request.route == "config") {
        checkHeaders(request, "GET", false, problems);
        if (!request.body.empty()) problems.push_back("the request has a body");
    } else {
        problems.push_back("no route serves " + request.path);
    }
    return problems;
}

nlohmann::json defaultAnswer(const std::string& route) {
    if (route == "flags") return {{"flags", nlohmann::json::object()}, {"errorsWhileComputingFlags", false}};
    if (route == "config") return nlohmann::json::object();
    return {{"status", "Ok"}};
}

}  // namespace

std::string IngestRequest::header(const std::string& name) const {
    auto found = headers.find(lowerCased(name));
    return found == headers.end() ? std::string() : found->second;
}

nlohmann::json IngestRequest::toJson() const {
    return {{"route", route},     {"method", method}, {"path", path},        {"query", query},
            {"headers", headers}, {"body", body},     {"problems", problems}};
}

IngestServer::IngestServer(std::string snapshotEndpoint)
    : snapshotEndpoint_(std::move(snapshotEndpoint)), server_(std::make_unique<httplib::Server>()) {
    // Short keep-alive waits let stop() return promptly.
    server_->set_keep_alive_timeout(1);
    // Headers and body go out in two writes; without this the body waits for a delayed ack.
    server_->set_tcp_nodelay(true);
    installControls();
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        serve(request, response);
    };
    server_->Get(kAnyPath, handler);
    server_->Post(kAnyPath, handler);
    server_->Put(kAnyPath, handler);
    server_->Delete(kAnyPath, handler);
}

IngestServer::~IngestServer() { stop(); }

bool IngestServer::start() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // A stop() before the loop runs would go unnoticed and leave it accepting forever.
    for (int waited = 0; !server_->is_running() && waited < kMaxStartWaitMs; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void IngestServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string IngestServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<IngestRequest> IngestServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void IngestServer::reset() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    answers_.clear();
}

void IngestServer::answer(const std::string& route, IngestAnswer answer) {
    answer.count = std::clamp(answer.count, 0, kMaxAnswerCount);
    answer.delayMs = std::clamp(answer.delayMs, 0, kMaxDelayMs);
    answer.trickleMs = std::clamp(answer.trickleMs, 0, kMaxDelayMs);
    std::lock_guard lock(mutex_);
    answers_[route] = std::move(answer);
}

void IngestServer::installControls() {
    server_->Get(kLogRoute, [this](const httplib::Request&, httplib::Response& response) {
        auto entries = nlohmann::json::array();
        for (const auto& entry : requests()) entries.push_back(entry.toJson());
        answerJson(response, 200, entries);
    });
    server_->Post(kResetRoute, [this](const httplib::Request&, httplib::Response& response) {
        reset();
        answerJson(response, 200, {{"reset", true}});
    });
    server_->Post(kAnswerRoute, [this](const httplib::Request& request, httplib::Response& response) {
        auto control = nlohmann::json::parse(request.body, nullptr, false);
        if (!control.is_object() || !control.contains("route") || !control["route"].is_string())
            return answerJson(response, 400, {{"error", "expected a JSON object with a \"route\" string"}});
        IngestAnswer given;
        given.status = control.value("status", 200);
        if (given.status < 100 || given.status > 599)
            return answerJson(response, 400, {{"error", "status out of range"}});
        given.body = control.value("body", "");
        given.headers = control.value("headers", std::map<std::string, std::string>{});
        given.delayMs = control.value("ms", 0);
        given.dropConnection = control.value("drop", false);
        given.trickleMs = control.value("trickleMs", 0);
        given.count = control.value("count", 1);
        answer(control["route"], std::move(given));
        answerJson(response, 200, control);
    });
}

std::string IngestServer::routeOf(const std::string& path) const {
    static const std::regex config(R"(.*/array/[^/]+/config)");
    if (path.ends_with("/batch")) return "batch";
    if (path.ends_with(snapshotEndpoint_)) return "snapshot";
    if (path.ends_with("/i/v1/logs")) return "logs";
    if (path.ends_with("/flags")) return "flags";
    if (std::regex_match(path, config)) return "config";
    return "";
}

void IngestServer::serve(const httplib::Request& request, httplib::Response& response) {
    IngestRequest entry;
    entry.method = request.method;
    entry.path = request.path;
    entry.route = routeOf(request.path);
    for (const auto& [name, value] : request.params) entry.query[name] = value;
    for (const auto& [name, value] : request.headers)
        if (!isConnectionDetail(name)) entry.headers[lowerCased(name)] = value;
    entry.body = request.body;
    entry.json = nlohmann::json::parse(request.body, nullptr, false);
    entry.problems = problemsOf(entry);
    const auto problems = entry.problems;
    const auto route = entry.route;
    {
        std::lock_guard lock(mutex_);
        if (requests_.size() >= kMaxRecordedRequests) requests_.erase(requests_.begin());
        requests_.push_back(std::move(entry));
    }
    if (!problems.empty()) return answerJson(response, 400, {{"problems", problems}});

    IngestAnswer given;
    if (!takeAnswer(route, given)) return answerJson(response, 200, defaultAnswer(route));
    waitFor(given.delayMs);
    response.status = given.status;
    for (const auto& [name, value] : given.headers) response.set_header(name, value);
    if (given.dropConnection) {
        // The headers go out, then the body provider gives up and the server closes the connection.
        response.set_chunked_content_provider("application/json", [](size_t, httplib::DataSink&) { return false; });
        return;
    }
    const bool isJson = !given.body.empty() && nlohmann::json::accept(given.body);
    const char* type = isJson ? "application/json" : "text/plain";
    if (given.trickleMs > 0) {
        response.set_content_provider(
            given.body.size(), type,
            [this, body = given.body, pause = given.trickleMs](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset > 0) waitFor(pause);
                return sink.write(body.data() + offset, 1);
            });
        return;
    }
    response.set_content(given.body, type);
}

bool IngestServer::takeAnswer(const std::string& route, IngestAnswer& answer) {
    std::lock_guard lock(mutex_);
    auto found = answers_.find(route);
    if (found == answers_.end() || found->second.count <= 0) return false;
    answer = found->second;
    if (--found->second.count == 0) answers_.erase(found);
    return true;
}

void IngestServer::waitFor(int ms) {
    if (ms <= 0) return;
    std::unique_lock lock(mutex_);
    stopped_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

}  // namespace testservers
