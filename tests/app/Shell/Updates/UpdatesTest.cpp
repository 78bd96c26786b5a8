
#include <gtest/gtest.h>
#include <QCoro/QCoroTask>
#include <QSignalSpy>

#include "support/ModelsTestSupport.h"
#include "Shell/Updates/Appcast.h"
#include "Shell/Updates/CheckForUpdatesViewModel.h"
#include "Shell/Updates/UpdateChecker.h"
#include "Shell/Updates/Updater.h"
#include "Shell/Updates/VersionComparison.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/PeakMemory.h"
#include "support/Wait.h"

using sablix::Appcast;
using sablix::UpdateChecker;
using sablix::Updater;

namespace {

std::string feed(const std::string& items) {
    return R"(<?xml version="1.0" encoding="utf-8"?><rss version="2.0"><channel><title>Sablix</title>)" + items +
           "</channel></rss>";
}

std::string item(const std::string& version, const std::string& url) {
    return R"(<item><title>Sablix</title><enclosure url=")" + url + R"(" sparkle:shortVersionString=")" + version +
           R"(" type="application/octet-stream"/></item>)";
}

// Records the addresses the application hands to the browser.
class RecordingWorkspace final : public desktop::Workspace {
public:
    std::optional<desktop::RunningApplication> frontmostApplication() override { return std::nullopt; }
    bool activate(const desktop::RunningApplication&) override { return true; }
    bool hasWindowManager() override { return false; }
    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return true;
    }
    std::vector<std::string> opened;
};

// An update feed served by the test backend, read through the application's own client.
class UpdatesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(backend_.start()); }
    void serve(const std::string& appcast) { backend_.reset(nlohmann::json{{"appcast", appcast}}); }
    QUrl appcastURL() const {
        return QUrl(QString::fromStdString(backend_.baseURL() + testservers::TestBackend::kAppcastRoute));
    }

    testservers::TestBackend backend_{testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json")};
    sablix::AppEnvironment environment_;
    sablix::APIClient client_{environment_};
};

TEST(VersionComparison, ReadsDigitRunsAsNumbers) {
    // clang-format off
    const std::tuple<const char*, const char*, int> table[] = {
        {"2.0.1", "2.0", 1}, {"1.10", "1.9", 1}, {"1.9", "1.10", -1}, {"1.2.1", "1.2", 1}, {"1.2", "1.2", 0},
        {"2.0", "10.0", -1}, {"1.0", "1", 1}, {"1.02", "1.2", 0}, {"1.0b2", "1.0b10", -1}, {"3", "0", 1},
        {"", "0", -1}, {"abc", "1.0", 1}, {"99999999999999999999.1", "99999999999999999998.9", 1}};
    // clang-format on
    for (const auto& [a, b, order] : table) {
        EXPECT_EQ(sablix::compareVersions(a, b), order) << a << " vs " << b;
        EXPECT_EQ(sablix::compareVersions(b, a), -order) << b << " vs " << a;
    }
}

TEST(Appcast, OnlyTheFirstDoubleQuotedAttributeCountsAndTheNewestItemIsOffered) {
    const std::pair<std::string, std::optional<std::string>> scans[] = {
        {feed(item("2.0.1", "u") + item("3.0", "v")), "2.0.1"},
        {"<enclosure sparkle:shortVersionString='9.0'/>\n<enclosure sparkle:shortVersionString=\"1.5\"/>", "1.5"},
        {"<enclosure sparkle:shortVersionString='9.0'/>", std::nullopt},
        {"sparkle:shortVersionString=\"\"", ""},
        {"sparkle:shortVersionString=\"2.0", std::nullopt},
        {"sparkle:shortVersionString=\"2.\xff\"", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [document, version] : scans) EXPECT_EQ(Appcast::firstShortVersion(document), version) << document;

    const std::string linked =
        "<item><sparkle:shortVersionString>1.2</sparkle:shortVersionString><link>https://x/page</link></item>";
    const auto newest =
        Appcast::newestRelease(feed(item("1.9", "https://x/1.9") + item("1.10", "https://x/1.10") + linked));
    ASSERT_TRUE(newest);
    EXPECT_EQ(std::pair(newest->version, newest->downloadURL),
              std::pair(std::string("1.10"), std::string("https://x/1.10")));
    EXPECT_EQ(Appcast::newestRelease(feed(linked)).value_or(Appcast::Release{}).downloadURL, "https://x/page");
    EXPECT_FALSE(Appcast::newestRelease(feed(item("2.0", "u")).substr(0, 60)));
}

TEST_F(UpdatesTest, CheckerOffersTheServedVersionUntilDismissedAndKeepsItWhenATransferFails) {
    modelstest::LogCapture logs;
    UpdateChecker checker(client_, appcastURL(), std::string("2.0"));
    QSignalSpy changes(&checker, &UpdateChecker::hasUpdateChanged);
    QCoro::waitFor(checker.check());
    EXPECT_EQ(checker.availableVersion(), "2.0.1");
    EXPECT_TRUE(checker.hasUpdate());
    checker.setDismissed(true);
    EXPECT_FALSE(checker.hasUpdate());
    EXPECT_EQ(changes.count(), 2);

    // Whatever the status, the document is read; an application without a version is "0".
    backend_.fail(testservers::TestBackend::kAppcastRoute, 404, "sparkle:shortVersionString=\"0.1\"");
    UpdateChecker unversioned(client_, appcastURL(), std::nullopt);
    QCoro::waitFor(unversioned.check());
    EXPECT_TRUE(unversioned.hasUpdate());

    serve(feed(item("1.9", "u")));
    UpdateChecker newer(client_, appcastURL(), std::string("1.10"));
    QCoro::waitFor(newer.check());
    EXPECT_EQ(newer.availableVersion(), "1.9");
    EXPECT_FALSE(newer.hasUpdate());

    backend_.stop();
    QCoro::waitFor(newer.check());
    EXPECT_EQ(newer.availableVersion(), "1.9");
    ASSERT_EQ(logs.messages("UpdateChecker").size(), 1u);
    EXPECT_TRUE(logs.messages("UpdateChecker")[0].starts_with("Update check failed: "));
}

TEST_F(UpdatesTest, UserCheckOpensTheNewerDownloadOnlyWhenAllowed) {
    RecordingWorkspace workspace;
    Updater updater(client_, workspace, appcastURL(), std::string("2.0"));
    sablix::CheckForUpdatesViewModel command(updater);

    // Not started: the command is disabled and does nothing.
    EXPECT_FALSE(command.canCheckForUpdates());
    command.checkForUpdates();
    EXPECT_EQ(backend_.log().size(), 0u);

    updater.startUpdater();
    QSignalSpy finished(&updater, &Updater::checkFinished);
    command.checkForUpdates();
    EXPECT_FALSE(command.canCheckForUpdates());  // one check at a time
    ASSERT_TRUE(finished.wait(10'000));
    EXPECT_TRUE(command.canCheckForUpdates());
    EXPECT_EQ(finished[0][0].value<Updater::CheckResult>(), Updater::CheckResult::updateAvailable);
    EXPECT_EQ(workspace.opened, std::vector<std::string>{"https://sablix.app/download/Sablix-2.0.1.tar.gz"});

    // An automatic check reports the release without opening the browser.
    QSignalSpy found(&updater, &Updater::updateFound);
    EXPECT_EQ(QCoro::waitFor(updater.check(false)), Updater::CheckResult::updateAvailable);
    EXPECT_EQ(found.count(), 1);
    serve(feed(item("2.0", "https://x/2.0")));
    EXPECT_EQ(QCoro::waitFor(updater.check(true)), Updater::CheckResult::upToDate);
    serve("<rss><channel><item>");
    EXPECT_EQ(QCoro::waitFor(updater.check(true)), Updater::CheckResult::failed);
    EXPECT_EQ(workspace.opened.size(), 1u);
}

}  // namespace

TEST_F(UpdatesTest, UserCheckSaysWhenNothingIsNewerOrWhyTheCheckFailed) {
    RecordingWorkspace workspace;
    Updater updater(client_, workspace, appcastURL(), std::string("2.0.1"));
    sablix::CheckForUpdatesViewModel command(updater);
    const auto said = [&](bool userInitiated) {
        command.dismissMessage();
        QCoro::waitFor(updater.check(userInitiated));
        return command.message().toStdString();
    };
    EXPECT_EQ(said(true), "Sablix is up to date.");
    EXPECT_EQ(said(false), "") << "an automatic check says nothing";
    backend_.fail(testservers::TestBackend::kAppcastRoute, 404, "");
    EXPECT_EQ(said(true), "Could not check for updates: the server answered HTTP status 404");
    serve("<rss><channel><item>");
    EXPECT_EQ(said(true), "Could not check for updates: the update feed names no release that can be read");
    backend_.stop();
    EXPECT_EQ(said(true), "Could not check for updates: Connection refused");
    EXPECT_TRUE(workspace.opened.empty());
}

TEST_F(UpdatesTest, AHugeFeedFailsTheCheckWithoutEverBeingHeld) {
    RecordingWorkspace workspace;
    Updater updater(client_, workspace, appcastURL(), std::string("2.0.1"));
    QSignalSpy finished(&updater, &Updater::checkFinished);
    const auto peakOfACheck = [&](int64_t paddingBytes) {
        backend_.reset(
            nlohmann::json{{"appcast", feed(item("2.0.1", "https://x/2.0.1"))}, {"appcastPaddingBytes", paddingBytes}});
        testsupport::resetPeakResidentBytes();
        auto check = updater.check(false);
        // The main thread is busy while the answer arrives: the limit must hold without it.
        if (paddingBytes > 0)
            testsupport::waitUntil(
                [&] {
                    const auto sent = backend_.paddedSend();
                    return sent.closedByClient || sent.complete;
                },
                60'000);
        const Updater::CheckResult result = QCoro::waitFor(std::move(check));
        return std::pair(result, testsupport::peakResidentBytes());
    };
    const auto [ordinary, ordinaryPeak] = peakOfACheck(0);
    ASSERT_EQ(ordinary, Updater::CheckResult::upToDate);
    ASSERT_GT(ordinaryPeak, 0);

    const auto [huge, hugePeak] = peakOfACheck(int64_t(200) * 1000 * 1000);
    EXPECT_EQ(huge, Updater::CheckResult::failed);
    ASSERT_EQ(finished.count(), 2);
    EXPECT_EQ(finished[1][2].toString(), "The server's answer is larger than 8 MiB.");
    const int64_t sent = backend_.paddedSend().written;
    EXPECT_LT(hugePeak - ordinaryPeak, int64_t(32) * 1000 * 1000 + testsupport::keptOfWhatTheBackendSent(sent));
    // Stopped at the limit, not after whatever the connection's buffers hold on.
    EXPECT_TRUE(backend_.paddedSend().closedByClient);
    EXPECT_LT(sent, Appcast::kMaxFeedBytes + int64_t(16) * 1024 * 1024);
}
