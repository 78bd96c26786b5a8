#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QCoro/QCoroTimer>
#include <QTest>

#include "Shell/DeepLinks/DeepLinkDispatcher.h"
#include "support/LogCapture.h"

using sablix::DeepLinkDispatcher;

namespace {

using Events = std::vector<std::string>;

// The account, the team manager and the installer in one, recording what the links ask of them.
// An install finishes only after a turn of the event loop, like a real download.
class Recorder final : public sablix::AuthManaging, public sablix::TeamManaging, public sablix::TemplateLinkInstalling {
public:
    QCoro::Task<> handleOAuthCallback(QUrl url) override {
        events.push_back("auth " + url.toString().toStdString());
        co_return;
    }
    bool isAuthenticated() const override { return signedIn; }
    void setPendingInvitationToken(std::string token) override { events.push_back("pending " + token); }
    QCoro::Task<bool> acceptInvitation(std::string token) override {
        events.push_back("accept " + token);
        co_return accepts;
    }
    QCoro::Task<> fetchTeams() override {
        events.push_back("fetch teams");
        co_return;
    }
    QCoro::Task<> installFromLink(QUrl url) override {
        events.push_back("install " + url.toString().toStdString());
        ++running;
        co_await QCoro::sleepFor(std::chrono::milliseconds(1));
        events.push_back("installed");
        --running;
    }

    Events events;
    bool signedIn = false;
    bool accepts = true;
    int running = 0;
};

class DeepLinksTest : public ::testing::Test {
protected:
    // Opens the links and lets every task they started finish.
    Events open(const std::vector<std::string>& links, bool signedIn = false) {
        recorder.events.clear();
        recorder.signedIn = signedIn;
        dispatcher.open(links);
        EXPECT_TRUE(QTest::qWaitFor([this] { return recorder.running == 0; }, 5000));
        QCoreApplication::processEvents();
        return recorder.events;
    }

    Recorder recorder;
    DeepLinkDispatcher dispatcher{recorder, recorder, recorder, [this] { recorder.events.push_back("front"); }};
    testsupport::LogCapture log;
};

TEST_F(DeepLinksTest, DispatchesOnTheHostAsWrittenOneTaskPerLinkInOrder) {
    const std::string callback = "sablix://auth/callback?access_token=a&refresh_token=b&user_id=c";
    const std::string install = "sablix://install/weekly-report", pack = "sablix://install-pack/sales";
    const std::vector<std::tuple<std::string, bool, Events>> cases = {
        {callback, false, {"auth " + callback}},
        {"sablix://AUTH/callback?access_token=a", false, {}},
        {"sablix://invite/abc", false, {"pending abc"}},
        {"sablix://invite/abc", true, {"accept abc", "fetch teams"}},
        {"sablix://invite/a/b", false, {"pending b"}},
        {"sablix://invite/abc/?x=1#y", false, {"pending abc"}},
        {"sablix://invite/", false, {}},
        {"sablix://invite", true, {}},
        {install, false, {"install " + install, "installed", "front"}},
        {pack, false, {"install " + pack, "installed", "front"}},
        {"sablix://Install/weekly-report", false, {}},
        {"sablix://teams/abc", true, {}},
        {"sablix:invite/abc", true, {}},
    };
    for (const auto& [link, signedIn, expected] : cases) EXPECT_EQ(open({link}, signedIn), expected) << link;
    EXPECT_TRUE(log.has("DeepLinks", "Link ignored: unknown host \"teams\""));

    recorder.accepts = false;
    EXPECT_EQ(open({"sablix://invite/abc"}, true), Events{"accept abc"}) << "a refused invitation reloads no teams";
    // An install still downloading does not hold back the next link.
    EXPECT_EQ(open({"sablix://install/a", "sablix://invite/b"}),
              Events({"install sablix://install/a", "pending b", "installed", "front"}));
}

// The token ends up in the path of an authenticated request: nothing but a plain segment may
// reach the account or the team manager, signed in or not.
TEST_F(DeepLinksTest, RefusesTokensThatAreNotAPlainPathSegment) {
    const std::vector<std::string> tokens = {"a%2Fb", "%2F", "a%3Fb",  "a%23b", "a%00b",   "a%0Ab", "a%C2%85b",
                                             "..",    "%2E", "%2e%2E", "%FF",   "a%252Fb", "a%5Cb"};
    for (const bool signedIn : {false, true}) {
        for (const auto& token : tokens) {
            const size_t refusals = log.count("Invitation link refused: the token is not a plain path segment");
            EXPECT_EQ(open({"sablix://invite/" + token}, signedIn), Events{}) << token;
            EXPECT_EQ(log.count("Invitation link refused: the token is not a plain path segment"), refusals + 1)
                << token;
        }
    }
    EXPECT_EQ(open({"sablix://invite/tok-EN_1.x~%C3%A9"}, true), Events({"accept tok-EN_1.x~\xC3\xA9", "fetch teams"}));
}

TEST_F(DeepLinksTest, DropsOversizedMalformedAndNonUtf8LinksWithALogLine) {
    const std::string prefix = "sablix://install/";
    const std::string longest = prefix + std::string(DeepLinkDispatcher::kMaxLinkBytes - prefix.size(), 'a');
    EXPECT_EQ(open({longest}).size(), 3u);
    EXPECT_EQ(open({longest + "a"}), Events{});
    EXPECT_TRUE(log.has("DeepLinks", "Link ignored: 4097 bytes, more than 4096"));

    EXPECT_EQ(open({"sablix://invite/\xff\xfe"}), Events{});
    EXPECT_TRUE(log.has("DeepLinks", "Link ignored: not UTF-8"));

    for (const std::string bad : {"sablix://invite/a b", "sablix://invite/a\nb", "sablix://inv[ite/abc", "", "abc"}) {
        const size_t lines = log.messages("DeepLinks").size();
        EXPECT_EQ(open({bad}), Events{}) << bad;
        EXPECT_EQ(log.messages("DeepLinks").size(), lines + 1) << bad;
    }
}

// A link may carry secrets in its query (a sign-in's tokens) and raw control characters: the log
// shows where a link pointed, never what it carried, and nothing that could forge a log line.
TEST_F(DeepLinksTest, NoLogLineHoldsALinksQueryOrARawControlCharacter) {
    const std::vector<std::pair<std::string, std::string>> links = {
        {"sablix://auth/callback?code=secret%ZZ&refresh_token=secret", "sablix://auth/callback"},
        {"sablix://auth/callback?code=secret one&refresh_token=secret", "sablix://auth/callback"},
        {"sablix://auth/call\nback?code=secret#secret", "sablix://auth/call\\x0Aback"},
        {"sablix://me:secret@in[vite/x?t=secret", "sablix://in[vite/x"},
        {"sablix://invite/a\x01"
         "b\r\nFAKE LINE\xc2\x85?secret",
         "sablix://invite/a\\x01b\\x0D\\x0AFAKE LINE\\xC2\\x85"},
    };
    for (const auto& [link, shown] : links) {
        EXPECT_EQ(open({link}), Events{}) << link;
        EXPECT_TRUE(log.has("DeepLinks", "Link ignored: malformed (" + shown + ")")) << link;
    }
    for (const auto& record : log.records()) {
        EXPECT_EQ(record.message.find("secret"), std::string::npos) << record.message;
        for (const unsigned char c : record.message) EXPECT_TRUE(c >= 0x20 && c != 0x7f) << record.message;
    }
}

}  // namespace
