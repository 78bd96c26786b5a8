// A signed-in user's teams in the main window: the real `sablix` binary under a window manager,
// signed in through a credential file written beforehand, against the test backend. Choosing a
// team must show its snippets from the backend, push what is created there, and hand its triggers
// to the expansion engine only while it is chosen; a Tk text field is the application typed into.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "Models/Snippets/SnippetItem.h"
#include "platform/DefaultsValue.h"
#include "servers/TestBackend.h"
#include "support/ProbedWindow.h"
#include "support/SablixSession.h"
#include "support/TkTextField.h"
#include "support/XvfbServer.h"

using e2e::runOn;
using e2e::waitUntil;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* kUserId = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";
constexpr const char* kSupportTeamId = "3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F";

std::string variable(const std::vector<std::string>& environment, const std::string& name) {
    for (const auto& entry : environment)
        if (entry.starts_with(name + "=")) return entry.substr(name.size() + 1);
    return {};
}

std::string upperCased(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

json serverSnippet(const std::string& id, const std::string& title, const std::string& content) {
    return {{"id", id},
            {"teamId", kSupportTeamId},
            {"ownerId", "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9"},
            {"snippetTitle", title},
            {"snippetContent", content},
            {"tags", json::array()},
            {"visibility", "team"},
            {"version", 1},
            {"createdAt", "2025-09-01T10:00:00Z"},
            {"updatedAt", "2025-09-01T10:00:00Z"}};
}

// The fixture with two snippets of the team "Support" on the backend.
json fixtureWithTeamSnippets() {
    json fixture = testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json");
    fixture["sync"]["snippets"] = {
        {"A1B2C3D4-0000-4000-8000-000000000001",
         serverSnippet("A1B2C3D4-0000-4000-8000-000000000001", "refund", "Your refund is on its way.")},
        {"A1B2C3D4-0000-4000-8000-000000000002",
         serverSnippet("A1B2C3D4-0000-4000-8000-000000000002", "hours", "We answer 9 to 5.")}};
    return fixture;
}

class TeamWindowE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        ASSERT_TRUE(server.startWindowManager());
        display = server.display();
        ASSERT_TRUE(field.start(display));
        ASSERT_TRUE(backend.start());
    }

    void TearDown() override {
        if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", session.log().c_str());
        session.stop();
    }

    // Signed in as the fixture's Rowan from a credential file, as a previous sign-in leaves it.
    void seedSignedInUser() {
        const fs::path folder = fs::path(variable(session.environment(), "XDG_DATA_HOME")) / "Sablix";
        fs::create_directories(folder);
        const json user = {{"id", kUserId},
                           {"email", "rowan@example.com"},
                           {"displayName", "Rowan Tesk"},
                           {"authProvider", "google"},
                           {"createdAt", "2025-03-01T10:00:00Z"}};
        const json stored = {{"com.sablix.app",
                              {{"auth_access_token", "access-rowan-1"},
                               {"auth_refresh_token", "refresh-rowan-1"},
                               {"auth_token_expiry", "4070908800.0"},
                               {"auth_user_id", kUserId},
                               {"auth_user_data", user.dump()}}}};
        const fs::path file = folder / "credentials.json";
        std::ofstream(file) << stored.dump();
        ::chmod(file.c_str(), 0600);
    }

    std::set<std::string> rows() {
        std::set<std::string> titles;
        for (const auto& item : probed.probe())
            if (item.name.starts_with("snippetRow:") && item.width > 0) titles.insert(item.name.substr(11));
        return titles;
    }
    bool listShows(const std::set<std::string>& expected) {
        return waitUntil([&] { return rows() == expected; }, 10000);
    }
    void click(const std::string& name) { ASSERT_TRUE(probed.click(name)) << "the window shows no " << name; }
    void type(const std::string& text) {
        int code = -1;
        runOn(display, {"xdotool", "type", "--delay", "40", text}, &code);
        ASSERT_EQ(code, 0);
    }
    void activateWindow() {
        const std::string found = runOn(display, {"xdotool", "search", "--onlyvisible", "--name", "^Sablix$"});
        const std::string id = found.substr(0, found.find('\n'));
        ASSERT_FALSE(id.empty());
        int code = -1;
        runOn(display, {"xdotool", "windowactivate", "--sync", id}, &code);
        ASSERT_EQ(code, 0);
    }
    void choose(const std::string& source) {
        click("snippetSourceButton");
        click(source);
    }
    // The bodies of the pushes the backend received.
    std::vector<json> pushes() {
        std::vector<json> found;
        for (const auto& request : backend.log())
            if (request.path == "/api/sync/push") found.push_back(json::parse(request.body, nullptr, false));
        return found;
    }
    bool pushed(const std::string& title) {
        for (const auto& body : pushes())
            for (const auto& operation : body.value("operations", json::array()))
                if (operation.value("operation", "") == "create" &&
                    operation.value("payload", json::object()).value("snippetTitle", "") == title)
                    return upperCased(body.value("teamId", "")) == kSupportTeamId;
        return false;
    }
    // What a trigger typed alone into the Tk field becomes.
    std::string expansionOf(const std::string& trigger, const std::string& expected) {
        EXPECT_TRUE(field.focus());
        EXPECT_TRUE(field.clear());
        type(trigger);
        return field.waitForContents(expected, 20000);
    }
    // Types the text, then a personal trigger; answers the field once that trigger has expanded,
    // so the text had its chance to expand too.
    std::string typeThenMark(const std::string& text) {
        EXPECT_TRUE(field.focus());
        EXPECT_TRUE(field.clear());
        type(text);
        type(" ;mark");
        waitUntil([&] { return field.contents().ends_with("MARK"); }, 20000);
        return field.contents();
    }

    testsupport::XvfbServer server;
    std::string display;
    testsupport::TkTextField field;
    testservers::TestBackend backend{fixtureWithTeamSnippets()};
    e2e::ProbedWindow probed{server.display()};
    e2e::SablixSession session{server.display()};
};

}  // namespace

TEST_F(TeamWindowE2E, ChosenTeamShowsPullsPushesAndExpandsOnlyWhileChosen) {
    session.storeSetting("API_BASE_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL()));
    session.storeLibrary({sablix::SnippetItem(platform::Uuid::generate(), "mark", "MARK", {})});
    seedSignedInUser();
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(session.waitForLog("Loaded cached auth for rowan@example.com", 10000));
    ASSERT_TRUE(session.waitForLog(e2e::SablixSession::kTapRunning));

    // Personal to begin with; the invitation to "Sales" waits, which the selector marks.
    EXPECT_TRUE(probed.shows("snippetSourceName", "Personal Snippets"));
    EXPECT_TRUE(probed.shows("pendingInvitationDot"));
    EXPECT_TRUE(listShows({"mark"}));

    activateWindow();
    choose("sourceTeam:Support");
    EXPECT_TRUE(probed.shows("snippetSourceName", "Support"));
    EXPECT_TRUE(listShows({"refund", "hours"})) << "the team's snippets from the backend";
    EXPECT_TRUE(probed.shows("syncStatusText", "Synced"));

    // A snippet created in the team goes to the backend and expands elsewhere.
    click("newSnippetButton");
    ASSERT_TRUE(waitUntil([&] { return probed.maybe("titleField").has_value(); }, 10000));
    type("greet");
    click("contentEditor");
    type("Hello from Support");
    runOn(display, {"xdotool", "key", "ctrl+Return"});
    EXPECT_TRUE(listShows({"refund", "hours", "greet"}));
    EXPECT_TRUE(waitUntil([&] { return pushed("greet"); }, 10000)) << "no push of the new snippet";
    EXPECT_EQ(expansionOf(";greet", "Hello from Support"), "Hello from Support");
    EXPECT_EQ(expansionOf(";refund", "Your refund is on its way."), "Your refund is on its way.");

    // Back to personal: the team's triggers are plain text again.
    activateWindow();
    choose("sourcePersonal");
    EXPECT_TRUE(probed.shows("snippetSourceName", "Personal Snippets"));
    EXPECT_TRUE(listShows({"mark"}));
    EXPECT_EQ(typeThenMark(";refund"), ";refund MARK");
    EXPECT_EQ(typeThenMark(";greet"), ";greet MARK");
}

TEST_F(TeamWindowE2E, OwnerInvitesAndDeletesTheTeamFromItsSettings) {
    json fixture = fixtureWithTeamSnippets();
    for (auto& team : fixture["teams"]["teams"])
        for (auto& member : team["members"])
            if (member["email"] == "rowan@example.com" && team["name"] == "Design") member["role"] = "editor";
    backend.reset(fixture);
    session.storeSetting("API_BASE_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL()));
    seedSignedInUser();
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(session.waitForLog("Loaded cached auth for rowan@example.com", 10000));
    activateWindow();

    // An editor of "Design" has no settings to open.
    choose("sourceTeam:Design");
    EXPECT_TRUE(probed.shows("snippetSourceName", "Design"));
    EXPECT_TRUE(probed.shows("syncStatusText", "Synced"));
    EXPECT_FALSE(probed.maybe("teamSettingsButton").has_value());

    // The owner of "Support" has.
    choose("sourceTeam:Support");
    EXPECT_TRUE(probed.shows("snippetSourceName", "Support"));
    click("teamSettingsButton");
    ASSERT_TRUE(probed.shows("teamSettingsView"));

    click("inviteEmailField");
    type("noor.b@example.com");
    click("inviteButton");
    EXPECT_TRUE(probed.shows("invitationSentLabel", "Invitation sent!"));
    std::optional<json> invited;
    for (const auto& request : backend.log())
        if (request.method == "POST" &&
            upperCased(request.path) == "/API/TEAMS/" + std::string(kSupportTeamId) + "/MEMBERS")
            invited = json::parse(request.body, nullptr, false);
    ASSERT_TRUE(invited.has_value()) << "no invitation reached the backend";
    EXPECT_EQ(*invited, (json{{"email", "noor.b@example.com"}, {"role", "viewer"}}));

    // The sheet scrolls; the button is below its fold.
    const auto sheet = probed.maybe("teamSettingsView");
    ASSERT_TRUE(sheet.has_value());
    runOn(display, {"xdotool", "mousemove", std::to_string(sheet->x + sheet->width / 2),
                    std::to_string(sheet->y + sheet->height / 2)});
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto button = probed.maybe("deleteTeamButton");
            if (button && button->y + button->height <= sheet->y + sheet->height) return true;
            runOn(display, {"xdotool", "click", "5"});
            return false;
        },
        10000));
    click("deleteTeamButton");
    click("deleteAlertConfirm");
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const auto& request : backend.log())
                if (request.method == "DELETE" &&
                    upperCased(request.path) == "/API/TEAMS/" + std::string(kSupportTeamId))
                    return true;
            return false;
        },
        10000))
        << "no delete reached the backend";
    EXPECT_TRUE(waitUntil([&] { return !probed.maybe("teamSettingsView").has_value(); }, 10000)) << "the sheet stays";
    EXPECT_TRUE(probed.shows("snippetSourceName", "Personal Snippets"));
    EXPECT_TRUE(probed.shows("snippetSourceButton")) << "a team is left, so the selector stays";
}
