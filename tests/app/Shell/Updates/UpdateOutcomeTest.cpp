// What the user is told after an update check: the update dialog's message and the main window's
// notice, with the feed served by the test backend.
#include <gtest/gtest.h>
#include <QCoro/QCoroTask>

#include "MainWindow/UpdateNotice.h"
#include "Shell/Updates/CheckForUpdatesViewModel.h"
#include "Shell/Updates/UpdateChecker.h"
#include "Shell/Updates/Updater.h"
#include "servers/TestBackend.h"
#include "support/FakeWorkspace.h"

using sablix::CheckForUpdatesViewModel;
using sablix::Updater;

namespace {

class UpdateOutcome : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(backend_.start()); }
    void serveRelease(const std::string& version, const std::string& url) {
        backend_.reset(nlohmann::json{{"appcast", R"(<rss version="2.0"><channel><item><enclosure url=")" + url +
                                                      R"(" sparkle:shortVersionString=")" + version +
                                                      R"("/></item></channel></rss>)"}});
    }
    QUrl appcastURL() const {
        return QUrl(QString::fromStdString(backend_.baseURL() + testservers::TestBackend::kAppcastRoute));
    }

    testservers::TestBackend backend_{testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json")};
    sablix::AppEnvironment environment_;
    sablix::APIClient client_{environment_};
    testsupport::FakeWorkspace workspace_;
};

}  // namespace

TEST_F(UpdateOutcome, WithNoBrowserTheDialogSaysSoAndGivesTheDownloadAddress) {
    workspace_.setOpens(false);
    Updater updater(client_, workspace_, appcastURL(), std::string("2.0"));
    CheckForUpdatesViewModel command(updater);
    EXPECT_EQ(QCoro::waitFor(updater.check(true)), Updater::CheckResult::updateAvailable);
    EXPECT_EQ(command.message().toStdString(), CheckForUpdatesViewModel::kNoBrowserMessage);
    EXPECT_EQ(command.downloadAddress().toStdString(), "https://sablix.app/download/Sablix-2.0.1.tar.gz");
    command.dismissMessage();
    EXPECT_EQ(command.downloadAddress().toStdString(), "");
}

TEST_F(UpdateOutcome, TheNoticeLosesARefusalAtTheNextCheckThatGoesThroughAndGoesWhenNothingIsNewer) {
    Updater updater(client_, workspace_, appcastURL(), std::string("2.0"));
    sablix::UpdateChecker checker(client_, appcastURL(), std::string("2.0"));
    sablix::UpdateNotice notice(checker, updater);
    QCoro::waitFor(checker.check());
    ASSERT_TRUE(notice.shown());

    serveRelease("2.0.1", "file:///tmp/Sablix");
    QCoro::waitFor(updater.check(true));
    EXPECT_EQ(notice.text().toStdString(), Updater::kNotWebAddressMessage);
    serveRelease("2.0.1", "https://sablix.app/download/Sablix-2.0.1.tar.gz");
    QCoro::waitFor(updater.check(false));
    EXPECT_EQ(notice.text().toStdString(), "Sablix 2.0.1 is available");
    serveRelease("2.0", "https://sablix.app/download/Sablix-2.0.tar.gz");
    QCoro::waitFor(updater.check(false));
    EXPECT_FALSE(notice.shown());
}
