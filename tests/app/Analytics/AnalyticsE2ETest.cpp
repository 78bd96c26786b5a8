// The application's analytics on a desktop: the real `sablix` binary sending to a local ingest
// service, its life cycle across launches and focus changes, and the settings sheet's switch
// turning it off.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <thread>
#include <fstream>

#include <nlohmann/json.hpp>

#include "Shell/Environment/AppEnvironment.h"
#include "platform/DefaultsValue.h"
#include "platform/DeviceInfo.h"
#include "servers/IngestServer.h"
#include "support/ProbedWindow.h"
#include "support/SablixSession.h"
#include "support/TkTextField.h"
#include "support/XvfbServer.h"

using nlohmann::json;

namespace {

std::vector<json> events(const testservers::IngestServer& server) {
    std::vector<json> all;
    for (const auto& request : server.requests())
        if (request.route == "batch" && request.json.is_object())
            for (const auto& event : request.json["batch"]) all.push_back(event);
    return all;
}

const json* find(const std::vector<json>& all, const std::string& name) {
    for (const auto& event : all)
        if (event["event"] == name) return &event;
    return nullptr;
}

size_t count(const std::vector<json>& all, const std::string& name) {
    return std::count_if(all.begin(), all.end(), [&](const json& event) { return event["event"] == name; });
}

// The analytics library's stored opt-out, wherever under the data folder its project keeps it.
std::optional<std::string> storedOptOut(const std::filesystem::path& data) {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(data, error), end; !error && it != end; it.increment(error))
        if (it->path().filename() == "orbit.optOut") {
            std::ifstream in(it->path());
            return std::string((std::istreambuf_iterator<char>(in)), {});
        }
    return std::nullopt;
}

// Opens the settings sheet and clicks its analytics switch, until the log holds `logged` once.
// A click while the window manager still settles a fresh window now and then misses it.
::testing::AssertionResult clickAnalyticsSwitch(const e2e::ProbedWindow& window, const e2e::SablixSession& session,
                                                const std::string& logged) {
    const auto clickUntil = [&](const std::string& name, const std::function<bool()>& done) {
        for (int attempt = 0; attempt < 3; ++attempt)
            if (window.click(name) && e2e::waitUntil(done, 3000)) return true;
        return false;
    };
    if (!clickUntil("settingsButton", [&] { return window.maybe("settingsScroll").has_value(); }))
        return ::testing::AssertionFailure() << "the settings sheet did not open";
    // The sheet scrolls; the switch is below its fold.
    const bool shown = window.scrollDownTo("analyticsSwitch", "settingsScroll");
    if (!shown) return ::testing::AssertionFailure() << "the analytics switch never showed";
    if (!clickUntil("analyticsSwitch", [&] { return session.logCount(logged) == 1; }))
        return ::testing::AssertionFailure() << "the switch did not log \"" << logged << "\"\n" << session.log();
    return ::testing::AssertionSuccess();
}

std::filesystem::path dataHome(const e2e::SablixSession& session) {
    for (const auto& entry : session.environment())
        if (entry.starts_with("XDG_DATA_HOME=")) return entry.substr(14);
    return {};
}

}  // namespace

// A display with a window manager, the ingest stand-in, and a session whose analytics go to it.
class AnalyticsE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        ASSERT_TRUE(server.startWindowManager());
        ASSERT_TRUE(ingest.start());
        session.storeSetting(sablix::AppEnvironment::kOrbitHostOverrideKey, platform::DefaultsValue(ingest.baseURL()));
    }

    testsupport::XvfbServer server;
    testservers::IngestServer ingest;
    e2e::SablixSession session{server.display()};
};

// A first launch sends "Application Installed", "Application Opened" and "app_launch" as the machine, with the
// facade's properties and the library's context; the analytics switch then stores the opt-out,
// and a restart sends nothing.
TEST_F(AnalyticsE2E, AFirstLaunchIsReportedAsTheMachineAndTheSwitchOptsOut) {
    e2e::ProbedWindow window(server.display());
    ASSERT_TRUE(session.start());
    // Nothing asks the queue to send: its timer does, within its interval.
    ASSERT_TRUE(e2e::waitUntil(
        [&] {
            const auto all = events(ingest);
            return find(all, "Application Installed") && find(all, "app_launch") && find(all, "Application Opened");
        },
        60000))
        << session.log();
    const auto machine = platform::DeviceInfo::current(std::nullopt, std::nullopt).machineIdentifier;
    ASSERT_TRUE(machine);
    const auto all = events(ingest);
    const auto& launch = *find(all, "app_launch");
    EXPECT_EQ(find(all, "Application Installed")->at("distinct_id"), *machine);
    EXPECT_EQ(launch["distinct_id"], *machine);
    EXPECT_EQ(launch["properties"]["environment"], "Development");
    // The window manager focuses the main window: the application becomes active.
    const auto& opened = find(all, "Application Opened")->at("properties");
    EXPECT_EQ(opened["from_background"], false);
    EXPECT_EQ(opened["version"], SABLIX_VERSION);
    EXPECT_EQ(opened["build"], std::stoi(SABLIX_BUILD));
    EXPECT_TRUE(launch["properties"].contains("os_version") && launch["properties"].contains("$lib"));

    ASSERT_TRUE(clickAnalyticsSwitch(window, session, "Analytics opted out"));
    const auto data = dataHome(session);
    EXPECT_TRUE(e2e::waitUntil([&] { return storedOptOut(data) == R"({"orbit.optOut":true})"; }, 10000))
        << storedOptOut(data).value_or("(none)") << "\n"
        << session.log();
    EXPECT_EQ(session.stop(), 0);

    // Opted out, a restart sets nothing up and sends nothing.
    const auto before = events(ingest).size();
    ASSERT_TRUE(session.start());
    EXPECT_TRUE(session.waitForLog("Analytics opted out — skipping initialization", 10000)) << session.log();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(events(ingest).size(), before);
    EXPECT_EQ(session.stop(), 0);
}

// A launch after another build ran sends "Application Updated" with what that build stored; giving
// the focus to another X client sends "Application Backgrounded" (and the batch, at once); the next
// launch of the same build sends neither an update nor an installation.
TEST_F(AnalyticsE2E, AChangedBuildIsAnUpdateAndFocusElsewhereIsTheBackground) {
    testsupport::TkTextField other;
    ASSERT_TRUE(other.start(server.display()));
    // What an earlier build of the application left in the defaults store.
    const int previousBuild = std::stoi(SABLIX_BUILD) - 1;
    session.storeSetting("OBGVersionKey", platform::DefaultsValue("0.9"));
    session.storeSetting("OBGBuildKeyV2", platform::DefaultsValue(std::to_string(previousBuild)));
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(e2e::waitUntil([&] { return find(events(ingest), "Application Opened") != nullptr; }, 60000))
        << session.log();
    ASSERT_EQ(find(events(ingest), "Application Backgrounded"), nullptr);
    ASSERT_TRUE(other.focus());
    ASSERT_TRUE(e2e::waitUntil([&] { return find(events(ingest), "Application Backgrounded") != nullptr; }, 60000))
        << session.log();
    auto all = events(ingest);
    ASSERT_NE(find(all, "Application Updated"), nullptr);
    const auto& updated = find(all, "Application Updated")->at("properties");
    EXPECT_EQ(updated["previous_build"], previousBuild);
    EXPECT_EQ(updated["previous_version"], "0.9");
    EXPECT_EQ(updated["build"], std::stoi(SABLIX_BUILD));
    EXPECT_EQ(updated["version"], SABLIX_VERSION);
    EXPECT_EQ(find(all, "Application Installed"), nullptr);
    EXPECT_EQ(session.stop(), 0);

    // The same build again: its activation and background arrive, and nothing about the build.
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(e2e::waitUntil([&] { return count(events(ingest), "Application Opened") == 2; }, 60000))
        << session.log();
    ASSERT_EQ(count(events(ingest), "Application Backgrounded"), 1u);
    ASSERT_TRUE(other.focus());
    ASSERT_TRUE(e2e::waitUntil([&] { return count(events(ingest), "Application Backgrounded") == 2; }, 60000))
        << session.log();
    all = events(ingest);
    EXPECT_EQ(count(all, "Application Updated"), 1u);
    EXPECT_EQ(count(all, "Application Installed"), 0u);
    EXPECT_EQ(session.stop(), 0);
}

// The user opts out, starts Sablix again (the analytics client is then not set up) and opts back
// in: the next launch sends its events again, although the client stored its opt-out in the first
// launch and never heard the opt-in.
TEST_F(AnalyticsE2E, OptingBackInDuringALaunchThatStartedOptedOutSendsFromTheNextLaunch) {
    testsupport::TkTextField other;
    ASSERT_TRUE(other.start(server.display()));

    {
        e2e::ProbedWindow window(server.display());
        ASSERT_TRUE(session.start());
        ASSERT_TRUE(session.waitForLog("Analytics initialized", 10000)) << session.log();
        ASSERT_TRUE(clickAnalyticsSwitch(window, session, "Analytics opted out"));
        ASSERT_TRUE(
            e2e::waitUntil([&] { return storedOptOut(dataHome(session)) == R"({"orbit.optOut":true})"; }, 10000))
            << session.log();
        EXPECT_EQ(session.stop(), 0);
    }
    {
        e2e::ProbedWindow window(server.display());
        ASSERT_TRUE(session.start());
        ASSERT_TRUE(session.waitForLog("Analytics opted out — skipping initialization", 10000)) << session.log();
        ASSERT_TRUE(clickAnalyticsSwitch(window, session, "Analytics opted in"));
        EXPECT_EQ(session.stop(), 0);
    }

    // The first launch's events may still be waiting in the queue: only this launch's count.
    const auto started = [] {
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
        return std::string(text);
    }();
    const auto launchedSince = [&] {
        for (const auto& event : events(ingest))
            if (event["event"] == "app_launch" && event["timestamp"].get<std::string>().substr(0, 19) >= started)
                return true;
        return false;
    };
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(session.waitForLog("Analytics initialized", 10000)) << session.log();
    // Focus elsewhere sends the queue at once; its timer would within its interval.
    ASSERT_TRUE(other.focus());
    EXPECT_TRUE(e2e::waitUntil(launchedSince, 60000)) << session.log();
    EXPECT_EQ(storedOptOut(dataHome(session)), R"({"orbit.optOut":false})");
    EXPECT_EQ(session.stop(), 0);
}
