// A signed-in user's teams in the main window: the real `sablix` binary under a window manager,
// signed in through a credential file written beforehand, against the test backend. Choosing a
// team must show its snippets from the backend, push what is created there, and hand its triggers
// to the expansion engine only while it is chosen; a Tk text field is the application typed into.
// Two members, each on a display of their own, share a team through the one backend.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "Snippets/SnippetItem.h"
#include "platform/Clock.h"
#include "platform/DefaultsValue.h"
#include "servers/IngestServer.h"
#include "servers/TestBackend.h"
#include "support/ChildProcess.h"
#include "support/Desk.h"

using e2e::runOn;
using e2e::waitUntil;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// Dates the snippets these tests make.
const platform::FakeClock kClock;

constexpr const char* kUserId = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";
constexpr const char* kSupportTeamId = "3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F";

// A signed-in member of the fixture's teams, as a previous sign-in leaves the credential file.
struct Member {
    std::string id, email, displayName, accessToken, refreshToken;
};
const Member kRowan{kUserId, "rowan@example.com", "Rowan Tesk", "access-rowan-1", "refresh-rowan-1"};
const Member kIlse{"0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9", "ilse@example.com", "Ilse Varn", "access-ilse-1",
                   "refresh-ilse-1"};

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
    fixture["auth"]["accounts"][kIlse.accessToken] = {{"id", kIlse.id},
                                                      {"email", kIlse.email},
                                                      {"displayName", kIlse.displayName},
                                                      {"authProvider", "google"},
                                                      {"createdAt", "2025-03-01T10:00:00Z"}};
    return fixture;
}

// A member's desktop, Sablix on it reaching the test backend and signed in.
class MemberDesk : public e2e::Desk {
public:
    bool open(const testservers::TestBackend& backend, const Member& member,
              const std::vector<sablix::SnippetItem>& library = {}, const std::function<void()>& beforeStart = {}) {
        if (!e2e::Desk::open()) return false;
        session.storeSetting("API_BASE_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL()));
        if (!library.empty()) session.storeLibrary(library);
        seed(member);
        if (beforeStart) beforeStart();
        return session.start() && session.waitForLog("Loaded cached auth for " + member.email, 10000);
    }

    void choose(const std::string& source) {
        click("snippetSourceButton");
        click(source);
    }
    // Creates a snippet in the source shown, from the window, and saves it with Ctrl+Return.
    void create(const std::string& title, const std::string& content) {
        activate();
        click("newSnippetButton");
        ASSERT_TRUE(waitUntil([&] { return probed.maybe("titleField").has_value(); }, 10000));
        type(title);
        click("contentEditor");
        type(content);
        key("ctrl+Return");
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

    // Where Sablix keeps its data, the team database among it.
    fs::path dataFolder() const { return session.dataFolder(); }

    // Sign Out in the settings sheet.
    void signOut() {
        openSettings();
        ASSERT_TRUE(clickUntil("signOutButton", [&] { return probed.maybe("signInButton").has_value(); }));
        closeSettings();
    }
    // Sign In in the settings sheet; the test plays the browser's part: the link the backend's
    // sign-in page answers with, carrying the member's tokens, opened through the desktop's handler.
    void signIn(const Member& member) {
        static constexpr const char* kOpened = "Opened Google sign-in in browser";
        const auto environment = session.environment();
        ASSERT_TRUE(waitUntil(
            [&] {
                std::ifstream in(variableOf(environment, "XDG_CONFIG_HOME") + "/mimeapps.list");
                return std::string(std::istreambuf_iterator<char>(in), {}).find("x-scheme-handler/sablix") !=
                       std::string::npos;
            },
            10000))
            << "the link handler was not registered";
        acceptWebAddresses(environment);
        openSettings();
        const size_t opened = session.logCount(kOpened);
        const size_t signedIn = session.logCount("Signed in as " + member.email);
        ASSERT_TRUE(clickUntil("signInButton", [&] { return session.logCount(kOpened) > opened; }));
        int code = -1;
        testsupport::runCommand(
            {"xdg-open", "sablix://auth/callback?code=" + member.accessToken + "&refresh_token=" + member.refreshToken +
                             "&expires_at=2099-01-01T00:00:00Z&user_id=" + member.id},
            &code, 10000, environment);
        ASSERT_EQ(code, 0);
        ASSERT_TRUE(session.waitForLog("Signed in as " + member.email, 15000, signedIn + 1));
        closeSettings();
    }

private:
    // A browser that takes every web address and does nothing with it: Sablix waits for the
    // callback only once the sign-in page was opened, and the test plays the browser's part.
    static void acceptWebAddresses(const std::vector<std::string>& environment) {
        const std::filesystem::path data = variableOf(environment, "XDG_DATA_HOME");
        if (std::filesystem::exists(data / "applications" / "quiet-browser.desktop")) return;
        const std::filesystem::path script = data / "quiet-browser";
        std::filesystem::create_directories(data / "applications");
        std::ofstream(script) << "#!/bin/sh\nexit 0\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        std::ofstream(data / "applications" / "quiet-browser.desktop")
            << "[Desktop Entry]\nType=Application\nName=Browser\nExec=" << script.string()
            << " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n";
        for (const char* type : {"x-scheme-handler/http", "x-scheme-handler/https"}) {
            int code = -1;
            testsupport::runCommand({"xdg-mime", "default", "quiet-browser.desktop", type}, &code, 10000, environment);
            ASSERT_EQ(code, 0) << type;
        }
    }
    static std::string variableOf(const std::vector<std::string>& environment, const std::string& name) {
        for (const auto& entry : environment)
            if (entry.starts_with(name + "=")) return entry.substr(name.size() + 1);
        return {};
    }
    // Clicks until what the click brings about is there: a click made while the window manager
    // still settles a freshly shown window now and then misses it.
    bool clickUntil(const std::string& name, const std::function<bool()>& done) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!probed.click(name)) return false;
            if (waitUntil(done, 3000)) return true;
        }
        return false;
    }
    void openSettings() {
        ASSERT_TRUE(clickUntil("settingsButton", [&] {
            return runOn(display(), {"xdotool", "getactivewindow", "getwindowname"}) == "Settings\n";
        }));
    }

    // The sheet blocks the main window while it shows.
    void closeSettings() {
        ASSERT_TRUE(clickUntil("closeSettingsButton", [&] { return !probed.maybe("settingsView").has_value(); }));
    }

    void seed(const Member& member) {
        session.storeSignIn({{"id", member.id},
                             {"email", member.email},
                             {"displayName", member.displayName},
                             {"authProvider", "google"},
                             {"createdAt", "2025-03-01T10:00:00Z"}},
                            member.accessToken, member.refreshToken);
    }
};

class TeamWindowE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(backend.start()); }

    void TearDown() override {
        for (MemberDesk* each : {&desk, second.has_value() ? &*second : nullptr}) {
            if (!each) continue;
            if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", each->session.log().c_str());
            each->session.stop();
        }
    }

    // The bodies of the pushes the backend received.
    std::vector<json> pushes() {
        std::vector<json> found;
        for (const auto& request : backend.log())
            if (request.path == "/api/sync/push") found.push_back(json::parse(request.body, nullptr, false));
        return found;
    }
    // The pushes that carried a change of the snippet so titled, by their Authorization header.
    std::vector<std::string> bearersOfPushes(const std::string& title) {
        std::vector<std::string> bearers;
        for (const auto& request : backend.log()) {
            if (request.path != "/api/sync/push") continue;
            const json body = json::parse(request.body, nullptr, false);
            for (const auto& operation : body.value("operations", json::array()))
                if (operation.value("payload", json::object()).value("snippetTitle", "") == title)
                    bearers.push_back(request.header("Authorization"));
        }
        return bearers;
    }
    bool pushed(const std::string& title) {
        for (const auto& body : pushes())
            for (const auto& operation : body.value("operations", json::array()))
                if (operation.value("operation", "") == "create" &&
                    operation.value("payload", json::object()).value("snippetTitle", "") == title)
                    return upperCased(body.value("teamId", "")) == kSupportTeamId;
        return false;
    }

    testservers::TestBackend backend{fixtureWithTeamSnippets()};
    MemberDesk desk;
    // A second member's desktop, made once the first Sablix runs (each takes the probe file named
    // when it starts).
    std::optional<MemberDesk> second;
};

}  // namespace

TEST_F(TeamWindowE2E, ChosenTeamShowsPullsPushesAndExpandsOnlyWhileChosen) {
    ASSERT_TRUE(desk.open(backend, kRowan,
                          {sablix::SnippetItem(platform::Uuid::generate(), "mark", "MARK", {"misc"}, kClock)}));
    ASSERT_TRUE(desk.session.waitForLog(e2e::SablixSession::kTapRunning));

    // Personal to begin with; the invitation to "Sales" waits, which the selector marks.
    EXPECT_TRUE(desk.probed.shows("snippetSourceName", "Personal Snippets"));
    EXPECT_TRUE(desk.probed.shows("pendingInvitationDot"));
    EXPECT_TRUE(desk.listShows({"mark"}));

    // A personal tag and snippet chosen; neither may carry over to the team (the tag would
    // filter its list down to nothing).
    desk.activate();
    desk.click("tagRow:misc");
    desk.click("snippetRow:mark");
    EXPECT_TRUE(desk.probed.shows("snippetTitle", "mark"));
    desk.choose("sourceTeam:Support");
    EXPECT_TRUE(desk.probed.shows("snippetSourceName", "Support"));
    EXPECT_TRUE(desk.listShows({"refund", "hours"})) << "the team's snippets from the backend";
    EXPECT_TRUE(desk.probed.shows("syncStatusText", "Synced"));
    EXPECT_FALSE(desk.probed.maybe("snippetContentView").has_value()) << "the personal snippet stays selected";

    // A snippet created in the team goes to the backend and expands elsewhere.
    desk.create("greet", "Hello from Support");
    EXPECT_TRUE(desk.listShows({"refund", "hours", "greet"}));
    EXPECT_TRUE(waitUntil([&] { return pushed("greet"); }, 10000)) << "no push of the new snippet";
    EXPECT_EQ(desk.expansionOf(";greet", "Hello from Support"), "Hello from Support");
    EXPECT_EQ(desk.expansionOf(";refund", "Your refund is on its way."), "Your refund is on its way.");

    // Back to personal: the team's triggers are plain text again.
    desk.activate();
    desk.choose("sourcePersonal");
    EXPECT_TRUE(desk.probed.shows("snippetSourceName", "Personal Snippets"));
    EXPECT_TRUE(desk.listShows({"mark"}));
    EXPECT_EQ(desk.typeThenMark(";refund"), ";refund MARK");
    EXPECT_EQ(desk.typeThenMark(";greet"), ";greet MARK");
}

TEST_F(TeamWindowE2E, SnippetCreatedByOneMemberExpandsForAnotherAfterTheirNextSync) {
    ASSERT_TRUE(desk.open(backend, kRowan));
    second.emplace();
    ASSERT_TRUE(second->open(backend, kIlse));
    ASSERT_TRUE(second->session.waitForLog(e2e::SablixSession::kTapRunning));
    for (MemberDesk* member : {&desk, &*second}) {
        member->activate();
        member->choose("sourceTeam:Support");
        EXPECT_TRUE(member->listShows({"refund", "hours"}));
    }

    desk.create("greet", "Hello from Support");
    ASSERT_TRUE(waitUntil([&] { return pushed("greet"); }, 10000)) << "no push of the new snippet";
    // The other member's window lists it after a polling cycle, and their triggers include it.
    EXPECT_TRUE(second->listShows({"refund", "hours", "greet"}, 40000));
    EXPECT_EQ(second->expansionOf(";greet", "Hello from Support"), "Hello from Support");
}

TEST_F(TeamWindowE2E, OwnerInvitesAndDeletesTheTeamFromItsSettings) {
    json fixture = fixtureWithTeamSnippets();
    for (auto& team : fixture["teams"]["teams"])
        for (auto& member : team["members"])
            if (member["email"] == "rowan@example.com" && team["name"] == "Design") member["role"] = "editor";
    backend.reset(fixture);
    ASSERT_TRUE(desk.open(backend, kRowan));
    desk.activate();

    // An editor of "Design" has no settings to open.
    desk.choose("sourceTeam:Design");
    EXPECT_TRUE(desk.probed.shows("snippetSourceName", "Design"));
    EXPECT_TRUE(desk.probed.shows("syncStatusText", "Synced"));
    EXPECT_FALSE(desk.probed.maybe("teamSettingsButton").has_value());

    // The owner of "Support" has.
    desk.choose("sourceTeam:Support");
    EXPECT_TRUE(desk.probed.shows("snippetSourceName", "Support"));
    desk.click("teamSettingsButton");
    ASSERT_TRUE(desk.probed.shows("teamSettingsView"));

    desk.click("inviteEmailField");
    desk.type("noor.b@example.com");
    desk.click("inviteButton");
    EXPECT_TRUE(desk.probed.shows("invitationSentLabel", "Invitation sent!"));
    std::optional<json> invited;
    for (const auto& request : backend.log())
        if (request.method == "POST" &&
            upperCased(request.path) == "/API/TEAMS/" + std::string(kSupportTeamId) + "/MEMBERS")
            invited = json::parse(request.body, nullptr, false);
    ASSERT_TRUE(invited.has_value()) << "no invitation reached the backend";
    EXPECT_EQ(*invited, (json{{"email", "noor.b@example.com"}, {"role", "viewer"}}));

    // The sheet scrolls; the button is below its fold.
    EXPECT_TRUE(desk.probed.scrollDownTo("deleteTeamButton", "teamSettingsView"));
    desk.click("deleteTeamButton");
    desk.click("deleteAlertConfirm");
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
    EXPECT_TRUE(waitUntil([&] { return !desk.probed.maybe("teamSettingsView").has_value(); }, 10000))
        << "the sheet stays";
    EXPECT_TRUE(desk.probed.shows("snippetSourceName", "Personal Snippets"));
    EXPECT_TRUE(desk.probed.shows("snippetSourceButton")) << "a team is left, so the selector stays";
}

// Random bytes in place of the team database: it is kept aside, and the first pull fills the
// empty one that replaces it with every snippet of the team, however recent its stored timestamp.
TEST_F(TeamWindowE2E, ADamagedTeamDatabaseIsKeptAsideAndFilledAgainByThePull) {
    const fs::path folder = desk.dataFolder();
    fs::create_directories(folder);
    std::string damaged(65536, '\0');
    std::mt19937 random(26);
    for (char& byte : damaged) byte = static_cast<char>(random());
    std::ofstream(folder / "team_snippets.db", std::ios::binary) << damaged;
    desk.session.storeSetting(std::string("sync_timestamp_") + kSupportTeamId,
                              platform::DefaultsValue(*platform::Date::fromIso8601("2026-01-01T00:00:00Z")));
    ASSERT_TRUE(desk.open(backend, kRowan));
    ASSERT_TRUE(desk.session.waitForLog(e2e::SablixSession::kTapRunning));

    desk.activate();
    desk.choose("sourceTeam:Support");
    EXPECT_TRUE(desk.listShows({"refund", "hours"}));
    EXPECT_TRUE(desk.probed.shows("syncStatusText", "Synced"));
    EXPECT_EQ(desk.expansionOf(";refund", "Your refund is on its way."), "Your refund is on its way.");

    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().starts_with("team_snippets.db.damaged-")) copies.push_back(entry.path());
    ASSERT_EQ(copies.size(), 1u);
    std::ifstream copy(copies[0], std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(copy), {}) == damaged) << "the copy differs";
    EXPECT_TRUE(desk.session.waitForLog("kept as " + copies[0].string()));
}

// What Sablix and its analytics client keep is the user's alone, even where the credentials are
// not in a file of their own: after a sign-in, a team pull over a damaged database and an
// analytics batch sent, no file or folder under its configuration and data folders grants the
// group or others any bit. The folders a previous version left open are closed too.
TEST_F(TeamWindowE2E, NothingStoredGrantsTheGroupOrOthersAnyBit) {
    testservers::IngestServer ingest;
    ASSERT_TRUE(ingest.start());
    const fs::path data = desk.dataFolder().parent_path();
    const fs::path config = data.parent_path() / "config";
    fs::create_directories(desk.dataFolder());
    std::ofstream(desk.dataFolder() / "team_snippets.db", std::ios::binary) << std::string(4096, 'x');
    desk.session.storeSetting("ORBIT_HOST_OVERRIDE", platform::DefaultsValue(ingest.baseURL()));
    ASSERT_TRUE(desk.open(backend, kRowan, {}, [&] {
        for (const fs::path& open : {data, config, desk.dataFolder(), config / "sablix"}) ::chmod(open.c_str(), 0755);
        ::chmod((desk.dataFolder() / "team_snippets.db").c_str(), 0644);
    }));
    ASSERT_TRUE(desk.session.waitForLog(e2e::SablixSession::kTapRunning));

    desk.activate();
    desk.choose("sourceTeam:Support");
    EXPECT_TRUE(desk.listShows({"refund", "hours"}));
    // Another application takes the focus: the analytics batch goes at once.
    EXPECT_EQ(desk.expansionOf(";refund", "Your refund is on its way."), "Your refund is on its way.");
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& request : ingest.requests())
                if (request.route == "batch") return true;
            return false;
        },
        30000))
        << desk.session.log();
    ASSERT_EQ(desk.session.stop(), 0);

    std::vector<std::string> open, walked;
    for (const fs::path& root : {config, data}) {
        for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
            // The desktop's own: its application list, icon theme and the handler choices xdg-mime keeps.
            const std::string name = it->path().filename().string();
            if (name == "applications" || name == "icons" || name == "mimeapps.list") {
                it.disable_recursion_pending();
                continue;
            }
            struct stat info {};
            ASSERT_EQ(::lstat(it->path().c_str(), &info), 0);
            walked.push_back(fs::relative(it->path(), root.parent_path()).string());
            if (info.st_mode & 077) open.push_back(walked.back() + " " + std::to_string(info.st_mode & 0777));
        }
    }
    EXPECT_TRUE(open.empty()) << testing::PrintToString(open);
    // The folders above ours are the desktop's, as the user set them.
    for (const fs::path& root : {config, data}) {
        struct stat info {};
        ASSERT_EQ(::stat(root.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0755u) << root;
    }
    // What the walk must have met: each kind of file and folder of ours.
    const auto met = [&](const std::string& part) {
        return std::any_of(walked.begin(), walked.end(),
                           [&](const std::string& path) { return path.find(part) != std::string::npos; });
    };
    for (const char* part : {"config/sablix/defaults.json", "data/Sablix/team_snippets.db.damaged-",
                             "data/Sablix/team_snippets.db", "orbit.anonymousId", "orbit.queueFolder.uuid/"})
        EXPECT_TRUE(met(part)) << part << " not found in " << testing::PrintToString(walked);
}

// A change a member made while the push failed waits for that member: it is pushed after they
// sign out and back in, with their bearer. Once another member signs in on the same desktop, it
// is gone with the rest of the first member's team data and never reaches the backend, least of
// all with the other member's bearer.
TEST_F(TeamWindowE2E, QueuedTeamChangesGoOnlyWithTheBearerOfTheMemberWhoMadeThem) {
    constexpr const char* kPush = "/api/sync/push";
    constexpr const char* kDropped = "The previous user's team data is removed";
    ASSERT_TRUE(desk.open(backend, kRowan));
    desk.activate();
    desk.choose("sourceTeam:Support");
    EXPECT_TRUE(desk.listShows({"refund", "hours"}));

    backend.fail(kPush, 500, "{}", testservers::TestBackend::kMaxFailCount);
    desk.create("kept", "Made by Rowan");
    ASSERT_TRUE(waitUntil([&] { return !bearersOfPushes("kept").empty(); }, 10000)) << "no push was tried";
    desk.signOut();
    const size_t pushesBeforeSignIn = bearersOfPushes("kept").size();
    backend.fail(kPush, 500, "", 0);
    desk.signIn(kRowan);
    desk.activate();
    desk.choose("sourceTeam:Support");
    EXPECT_TRUE(desk.listShows({"refund", "hours", "kept"}));
    ASSERT_TRUE(desk.session.waitForLog("Pushed 1 operations, 1 succeeded"));
    const auto keptBearers = bearersOfPushes("kept");
    ASSERT_GT(keptBearers.size(), pushesBeforeSignIn) << "not pushed once Rowan was back";
    for (const auto& bearer : keptBearers) EXPECT_EQ(bearer, "Bearer access-rowan-1");
    EXPECT_EQ(desk.session.logCount(kDropped), 0u);

    backend.fail(kPush, 500, "{}", testservers::TestBackend::kMaxFailCount);
    desk.create("lost", "Made by Rowan, never sent");
    ASSERT_TRUE(waitUntil([&] { return !bearersOfPushes("lost").empty(); }, 10000)) << "no push was tried";
    desk.signOut();
    backend.fail(kPush, 500, "", 0);
    desk.signIn(kIlse);
    EXPECT_TRUE(desk.session.waitForLog(std::string(kDropped) + ": 1 queued changes dropped"));
    desk.activate();
    desk.choose("sourceTeam:Support");
    // What the list shows comes from Ilse's pull, which follows the push of the same cycle.
    EXPECT_TRUE(desk.listShows({"refund", "hours", "kept"}));
    EXPECT_TRUE(desk.probed.shows("syncStatusText", "Synced"));
    for (const auto& bearer : bearersOfPushes("lost")) EXPECT_EQ(bearer, "Bearer access-rowan-1");
}

// Markup in what other members wrote is text: a fill-in name of a team snippet and a member's name
// show as written, and the images they name are never fetched (the fetch would tell whoever serves
// them that this user looked, from where and when). The backend, which records every request, serves
// the images.
TEST_F(TeamWindowE2E, MarkupOthersWroteShowsAsTextAndFetchesNothing) {
    const std::string fillImage = "<img src=\"" + backend.baseURL() + "/fill.png\" width=\"1\" height=\"1\">";
    const std::string memberImage = "<img src=\"" + backend.baseURL() + "/member.png\">";
    json fixture = fixtureWithTeamSnippets();
    fixture["sync"]["snippets"]["A1B2C3D4-0000-4000-8000-000000000003"] =
        serverSnippet("A1B2C3D4-0000-4000-8000-000000000003", "greet", "Hello {fill:" + fillImage + "Name}");
    for (auto& team : fixture["teams"]["teams"])
        for (auto& member : team["members"])
            if (member["email"] == kIlse.email) member["displayName"] = memberImage;
    backend.reset(fixture);
    const auto fetched = [&](const std::string& path) {
        for (const auto& request : backend.log())
            if (request.path == path) return true;
        return false;
    };
    ASSERT_TRUE(desk.open(backend, kRowan));
    ASSERT_TRUE(desk.session.waitForLog(e2e::SablixSession::kTapRunning));
    desk.activate();
    desk.choose("sourceTeam:Support");
    EXPECT_TRUE(desk.listShows({"refund", "hours", "greet"}));

    // The dialog is built, and its label laid out, before it takes the keyboard; the value is
    // inserted well after.
    ASSERT_TRUE(desk.field.focus());
    ASSERT_TRUE(desk.field.clear());
    desk.type(";greet");
    ASSERT_TRUE(desk.session.waitForLog(e2e::SablixSession::kDialogHasTheKeyboard, 20000)) << "no fill-in dialog";
    desk.type("Ada");
    desk.key("Return");
    EXPECT_EQ(desk.field.waitForContents("Hello Ada", 20000), "Hello Ada");

    desk.activate();
    desk.click("teamSettingsButton");
    EXPECT_TRUE(desk.probed.shows("memberName_" + kIlse.email, memberImage));
    // The sheet is laid out whole before it scrolls.
    EXPECT_TRUE(desk.probed.scrollDownTo("deleteTeamButton", "teamSettingsView"));

    EXPECT_FALSE(fetched("/fill.png")) << "the fill-in name's image was fetched";
    EXPECT_FALSE(fetched("/member.png")) << "the member name's image was fetched";
}
