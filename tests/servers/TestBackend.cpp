#include "servers/TestBackend.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include <httplib.h>

#include "servers/GenerationRoutes.h"
#include "servers/LowerCased.h"
#include "servers/SyncRoutes.h"
#include "servers/TeamRoutes.h"
#include "servers/ReferralRoutes.h"

namespace testservers {
namespace {

constexpr const char* kLogRoute = "/__test/log";
constexpr const char* kResetRoute = "/__test/reset";
constexpr const char* kFailRoute = "/__test/fail";
constexpr const char* kDelayRoute = "/__test/delay";
constexpr const char* kRedirectRoute = "/__test/redirect";
constexpr int kDefaultRedirectStatus = 302;
constexpr const char* kAnyPath = "/.*";

// The server files the connection's addresses among the headers; they were never sent.
bool isConnectionDetail(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

void answer(httplib::Response& response, int status, const std::string& body) {
    response.status = status;
    const bool isJson = !body.empty() && nlohmann::json::accept(body);
    response.set_content(body, isJson ? "application/json" : "text/plain");
}

void answerJson(httplib::Response& response, int status, const nlohmann::json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

// A route that answers state[table][the rest of the path after prefix] as it stands.
auto fixtureEntry(std::string table, std::string prefix) {
    return [table = std::move(table), prefix = std::move(prefix)](
               const httplib::Request& request, httplib::Response& response, const nlohmann::json& state) {
        const std::string key = request.path.substr(prefix.size());
        auto entries = state.find(table);
        if (entries == state.end() || !entries->is_object() || !entries->contains(key))
            return answerJson(response, 404, {{"error", "no such " + table + " entry"}});
        answerJson(response, 200, entries->at(key));
    };
}

// state["auth"][table][key] when it is there.
const nlohmann::json* authEntry(const nlohmann::json& state, const char* table, const std::string& key) {
    auto auth = state.find("auth");
    if (auth == state.end() || !auth->is_object()) return nullptr;
    auto entries = auth->find(table);
    if (entries == auth->end() || !entries->is_object()) return nullptr;
    auto entry = entries->find(key);
    return entry == entries->end() ? nullptr : &*entry;
}

// The sign-in page: the user is taken to be signed in with the provider at once, and the browser
// goes back to the application with the fixture's callback values.
void signInRedirect(const httplib::Request& request, httplib::Response& response, const nlohmann::json& state) {
    const std::string redirect = request.get_param_value("redirect_uri");
    if (request.get_param_value("provider") != "google" || redirect.empty())
        return answerJson(response, 400, {{"error", "provider=google and a redirect_uri are required"}});
    const auto auth = state.find("auth");
    if (auth == state.end() || !auth->is_object() || !auth->contains("callback") || !(*auth)["callback"].is_object())
        return answerJson(response, 404, {{"error", "no sign-in callback in the fixture"}});
    std::string query;
    for (const auto& [name, value] : (*auth)["callback"].items()) {
        if (!query.empty()) query += "&";
        query += httplib::detail::encode_query_param(name) + "=" +
                 httplib::detail::encode_query_param(value.is_string() ? value.get<std::string>() : value.dump());
    }
    const std::string location = redirect + "?" + query;
    response.set_redirect(location, 302);
    response.set_content("<a href=\"" + location + "\">Back to Sablix</a>", "text/html");
}

// The control's JSON object, or none after answering 400.
std::optional<nlohmann::json> controlObject(const httplib::Request& request, httplib::Response& response) {
    auto body = nlohmann::json::parse(request.body, nullptr, false);
    if (body.is_object() && body.contains("route") && body["route"].is_string()) return body;
    answerJson(response, 400, {{"error", "expected a JSON object with a \"route\" string"}});
    return std::nullopt;
}

}  // namespace

std::string LoggedRequest::header(const std::string& name) const {
    auto found = headers.find(lowerCased(name));
    return found == headers.end() ? std::string() : found->second;
}

nlohmann::json LoggedRequest::toJson() const {
    return {{"method", method}, {"path", path}, {"headers", headers}, {"body", body}};
}

TestBackend::TestBackend(nlohmann::json fixture)
    : originalFixture_(std::move(fixture)), server_(std::make_unique<httplib::Server>()), state_(originalFixture_) {
    // Short keep-alive waits let stop() return promptly.
    server_->set_keep_alive_timeout(1);
    installControls();
    installRoutes();
    installGenerationRoutes(*server_, routes_);
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        serve(request, response);
    };
    server_->Get(kAnyPath, handler);
    server_->Post(kAnyPath, handler);
    server_->Put(kAnyPath, handler);
    server_->Patch(kAnyPath, handler);
    server_->Delete(kAnyPath, handler);
}

TestBackend::~TestBackend() { stop(); }

nlohmann::json TestBackend::loadFixture(const std::string& path) {
    std::ifstream in(path);
    auto fixture = nlohmann::json::parse(in, nullptr, false);
    return fixture.is_object() ? fixture : nlohmann::json::object();
}

bool TestBackend::start() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    // The socket listens from here on, so requests made before the loop runs wait in its backlog.
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // A stop() before the loop runs would find nothing to stop and wait for it forever.
    for (int waited = 0; !server_->is_running() && waited < 5000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void TestBackend::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string TestBackend::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<LoggedRequest> TestBackend::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void TestBackend::reset(std::optional<nlohmann::json> fixture) {
    std::lock_guard lock(mutex_);
    state_ = fixture ? std::move(*fixture) : originalFixture_;
    log_.clear();
    failures_.clear();
    delays_.clear();
    paddedSend_.reset();
}

void TestBackend::fail(const std::string& route, int status, std::string body, int count) {
    std::lock_guard lock(mutex_);
    failures_[route] = Failure{status, std::move(body), std::clamp(count, 0, kMaxFailCount), ""};
}

void TestBackend::redirect(const std::string& route, std::string location, int status, int count) {
    std::lock_guard lock(mutex_);
    failures_[route] = Failure{status, "", std::clamp(count, 0, kMaxFailCount), std::move(location)};
}

void TestBackend::delay(const std::string& route, int ms) {
    std::lock_guard lock(mutex_);
    if (ms <= 0)
        delays_.erase(route);
    else
        delays_[route] = std::min(ms, kMaxDelayMs);
}

void TestBackend::installControls() {
    server_->Get(kLogRoute, [this](const httplib::Request&, httplib::Response& response) {
        auto entries = nlohmann::json::array();
        for (const auto& entry : log()) entries.push_back(entry.toJson());
        answerJson(response, 200, entries);
    });
    server_->Post(kResetRoute, [this](const httplib::Request& request, httplib::Response& response) {
        auto fixture = nlohmann::json::parse(request.body, nullptr, false);
        reset(fixture.is_object() ? std::optional(fixture) : std::nullopt);
        answerJson(response, 200, {{"reset", true}});
    });
    server_->Post(kFailRoute, [this](const httplib::Request& request, httplib::Response& response) {
        auto control = controlObject(request, response);
        if (!control) return;
        const int status = control->value("status", 500);
        if (status < 100 || status > 599) return answerJson(response, 400, {{"error", "status out of range"}});
        fail((*control)["route"], status, control->value("body", ""), control->value("count", 1));
        answerJson(response, 200, *control);
    });
    server_->Post(kDelayRoute, [this](const httplib::Request& request, httplib::Response& response) {
        auto control = controlObject(request, response);
        if (!control) return;
        delay((*control)["route"], control->value("ms", 0));
        answerJson(response, 200, *control);
    });
    server_->Post(kRedirectRoute, [this](const httplib::Request& request, httplib::Response& response) {
        auto control = controlObject(request, response);
        if (!control) return;
        const int status = control->value("status", kDefaultRedirectStatus);
        const std::string location = control->value("location", "");
        if (status < 300 || status > 399 || location.empty())
            return answerJson(response, 400, {{"error", "a 3xx status and a location are required"}});
        redirect((*control)["route"], location, status, control->value("count", 1));
        answerJson(response, 200, *control);
    });
}

void TestBackend::installRoutes() {
    routes_[kAppcastRoute] = [](const httplib::Request&, httplib::Response& response, const nlohmann::json& state) {
        auto appcast = state.find("appcast");
        if (appcast == state.end() || !appcast->is_string()) return answer(response, 404, "");
        // A padded feed goes uncompressed, so the client reads every byte (line breaks compress
        // so well that a client would refuse them early): a type the server never compresses.
        const bool padded = state.value("appcastPaddingBytes", int64_t(0)) > 0;
        response.set_content(appcast->get<std::string>(), padded ? "application/rss+xml" : "application/xml");
    };
    routes_[kPendingInstallMatchRoute] = [](const httplib::Request&, httplib::Response& response,
                                            const nlohmann::json& state) {
        auto match = state.find("pendingInstallMatch");
        if (match == state.end()) return answerJson(response, 404, {{"error", "no pending install"}});
        answerJson(response, 200, *match);
    };
    routes_[kAuthSignInRoute] = signInRedirect;
    routes_[kAuthMeRoute] = [](const httplib::Request& request, httplib::Response& response,
                               const nlohmann::json& state) {
        const std::string authorization = request.get_header_value("Authorization");
        const std::string bearer = "Bearer ";
        const nlohmann::json* user = authorization.starts_with(bearer)
                                         ? authEntry(state, "accounts", authorization.substr(bearer.size()))
                                         : nullptr;
        if (!user) return answerJson(response, 401, {{"error", "unauthorized"}});
        answerJson(response, 200, *user);
    };
    routes_[kAuthRefreshRoute] = [](const httplib::Request& request, httplib::Response& response,
                                    const nlohmann::json& state) {
        const auto body = nlohmann::json::parse(request.body, nullptr, false);
        const nlohmann::json* tokens =
            body.is_object() && body.contains("refresh_token") && body["refresh_token"].is_string()
                ? authEntry(state, "refreshTokens", body["refresh_token"])
                : nullptr;
        if (!tokens) return answerJson(response, 401, {{"error", "invalid refresh token"}});
        answerJson(response, 200, *tokens);
    };
    routes_[kAuthSignOutRoute] = [](const httplib::Request&, httplib::Response& response, const nlohmann::json&) {
        answerJson(response, 200, {{"success", true}});
    };
    routes_[kFeedbackRoute] = [](const httplib::Request&, httplib::Response& response, nlohmann::json&) {
        answerJson(response, 200, {{"success", true}});
    };
    installSyncRoutes(routes_);
    installReferralRoutes(routes_);
    prefixRoutes_[kTemplatesRoute] = fixtureEntry("templates", kTemplatesRoute);
    prefixRoutes_[kTemplatePacksRoute] = fixtureEntry("packs", kTemplatePacksRoute);
    installTeamRoutes(routes_, prefixRoutes_);
}

const TestBackend::Route* TestBackend::findRoute(const std::string& path) const {
    if (auto exact = routes_.find(path); exact != routes_.end()) return &exact->second;
    // In reverse order a longer prefix comes before any shorter one it extends.
    for (auto it = prefixRoutes_.rbegin(); it != prefixRoutes_.rend(); ++it)
        if (path.size() > it->first.size() && path.starts_with(it->first)) return &it->second;
    return nullptr;
}

void TestBackend::serve(const httplib::Request& request, httplib::Response& response) {
    LoggedRequest entry{request.method, request.path, {}, request.body};
    for (const auto& [name, value] : request.headers)
        if (!isConnectionDetail(name)) entry.headers[lowerCased(name)] = value;
    {
        std::lock_guard lock(mutex_);
        if (log_.size() >= kMaxLoggedRequests) log_.erase(log_.begin());
        log_.push_back(std::move(entry));
    }
    waitForDelay(request.path);
    if (takeFailure(request.path, response)) return;

    const Route* route = findRoute(request.path);
    if (!route) return answerJson(response, 404, {{"error", "no such route"}});
    // Under the lock: a route that changes the state (a team created, a member removed) is seen
    // whole by the next request.
    std::lock_guard lock(mutex_);
    (*route)(request, response, state_);
    int64_t padding = 0;
    if (const auto paddings = state_.find("paddingBytes"); paddings != state_.end() && paddings->is_object())
        padding = paddings->value(request.path, int64_t(0));
    if (request.path == kAppcastRoute) padding = state_.value("appcastPaddingBytes", int64_t(0));
    // A route that only set its content answers 200 (the status is still unset, -1).
    if (padding > 0 && (response.status == 200 || response.status == -1)) pad(response, padding);
}

void TestBackend::pad(httplib::Response& response, int64_t padding) {
    auto sent = std::make_shared<PaddedSend>();
    paddedSend_ = sent;
    // Made while it is sent: an answer of any size costs the backend one piece of it.
    const std::string type = response.get_header_value("Content-Type");
    response.set_chunked_content_provider(
        type, [document = std::move(response.body), padding, sent](size_t, httplib::DataSink& sink) {
            const auto write = [&](const char* data, size_t size) {
                if (!sink.write(data, size)) {
                    sent->closedByClient = true;
                    return false;
                }
                sent->written += static_cast<int64_t>(size);
                return true;
            };
            if (!write(document.data(), document.size())) return false;
            const std::string blanks(64 * 1024, '\n');
            for (int64_t left = padding; left > 0; left -= static_cast<int64_t>(blanks.size()))
                if (!write(blanks.data(), static_cast<size_t>(std::min<int64_t>(left, blanks.size())))) return false;
            sink.done();
            sent->complete = true;
            return true;
        });
}

TestBackend::PaddedSendCount TestBackend::paddedSend() const {
    std::lock_guard lock(mutex_);
    if (!paddedSend_) return {};
    return {paddedSend_->written.load(), paddedSend_->closedByClient.load(), paddedSend_->complete.load()};
}

void TestBackend::waitForDelay(const std::string& route) {
    std::unique_lock lock(mutex_);
    auto found = delays_.find(route);
    if (found == delays_.end()) return;
    stopped_.wait_for(lock, std::chrono::milliseconds(found->second), [this] { return stopping_; });
}

bool TestBackend::takeFailure(const std::string& route, httplib::Response& response) {
    std::lock_guard lock(mutex_);
    auto found = failures_.find(route);
    if (found == failures_.end() || found->second.remaining <= 0) return false;
    if (found->second.location.empty())
        answer(response, found->second.status, found->second.body);
    else
        response.set_redirect(found->second.location, found->second.status);
    if (--found->second.remaining == 0) failures_.erase(found);
    return true;
}

}  // namespace testservers
