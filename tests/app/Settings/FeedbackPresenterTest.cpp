// The feedback form against the test backend: what it sends, and what it makes of every kind of
// answer, including none.
#include <QTest>
#include <gtest/gtest.h>

#include "Shell/Environment/AppEnvironment.h"
#include "Networking/APIClient.h"
#include "Settings/FeedbackPresenter.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"

using sablix::FeedbackPresenter;
using testservers::TestBackend;

namespace {

class FeedbackPresenterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend.start());
        defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend.baseURL());
    }
    std::unique_ptr<FeedbackPresenter> makeForm(std::chrono::milliseconds timeout = FeedbackPresenter::kTimeout) {
        return std::make_unique<FeedbackPresenter>(client, std::optional<std::string>("2.1.0"), "12.0.0", timeout);
    }
    static bool settled(const FeedbackPresenter& form) {
        return QTest::qWaitFor([&] { return !form.feedbackSending(); }, 10000);
    }

    TestBackend backend;
    platform::MemoryDefaults defaults;
    sablix::AppEnvironment environment{sablix::AppEnvironment::Kind::development, &defaults};
    sablix::APIClient client{environment};
};

}  // namespace

TEST_F(FeedbackPresenterTest, TheBodyHoldsExactlyTheTrimmedTextsAndTheVersions) {
    const std::string longMessage(1 << 20, 'x');
    for (const auto& [message, email, expected] : std::vector<std::tuple<std::string, std::string, nlohmann::json>>{
             {"  Ça marche très bien — 日本語 👍\n\n",
              " me@example.com\t",
              {{"message", "Ça marche très bien — 日本語 👍"}, {"email", "me@example.com"}}},
             {"\n" + longMessage + " ", "", {{"message", longMessage}, {"email", ""}}}}) {
        backend.reset();
        auto form = makeForm();
        form->setFeedbackMessage(QString::fromStdString(message));
        form->setFeedbackEmail(QString::fromStdString(email));
        form->sendFeedback();
        ASSERT_TRUE(settled(*form));
        const auto log = backend.log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].method + " " + log[0].path, std::string("POST ") + TestBackend::kFeedbackRoute);
        EXPECT_EQ(log[0].header("content-type"), "application/json");
        EXPECT_EQ(log[0].header("authorization"), "");
        nlohmann::json body = expected;
        body.update({{"appVersion", "2.1.0"}, {"osVersion", "12.0.0"}});
        EXPECT_EQ(nlohmann::json::parse(log[0].body), body);
    }
    EXPECT_EQ(FeedbackPresenter::requestBody("m", "", std::nullopt, "12.0.0")["appVersion"], "unknown");
}

TEST_F(FeedbackPresenterTest, OnlyA200CountsAsSentAndEveryFailureKeepsTheTexts) {
    const auto answer = [&](int status, std::string body) {
        return [=, this] { backend.fail(TestBackend::kFeedbackRoute, status, body); };
    };
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::chrono::milliseconds timeout;
        std::string error;  // its start, none when sent
    };
    const std::vector<Case> cases = {
        {"200, whatever its body", answer(200, "<garbage>"), FeedbackPresenter::kTimeout, ""},
        {"201", answer(201, "{}"), FeedbackPresenter::kTimeout, FeedbackPresenter::kFailedMessage},
        {"500", answer(500, "oops"), FeedbackPresenter::kTimeout, FeedbackPresenter::kFailedMessage},
        {"a backend that does not answer in time", [&] { backend.delay(TestBackend::kFeedbackRoute, 2000); },
         std::chrono::milliseconds(200), "Failed to send: The request timed out."},
        // Last: the backend stays down.
        {"no backend at all", [&] { backend.stop(); }, FeedbackPresenter::kTimeout, "Failed to send: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool sent = c.error.empty();
        backend.reset();
        c.arrange();
        auto form = makeForm(c.timeout);
        form->setFeedbackMessage("Hello");
        form->setFeedbackEmail("me@example.com");
        ASSERT_TRUE(form->canSend());
        form->sendFeedback();
        EXPECT_TRUE(form->feedbackSending() && !form->canSend());
        form->sendFeedback();
        ASSERT_TRUE(settled(*form));
        EXPECT_LE(backend.log().size(), 1u) << "pressed twice while sending, it sends once";
        EXPECT_EQ(form->feedbackSent(), sent);
        EXPECT_TRUE(form->feedbackError().toStdString().starts_with(c.error)) << form->feedbackError().toStdString();
        EXPECT_EQ(form->feedbackError().isEmpty(), sent);
        EXPECT_EQ(form->feedbackMessage() + form->feedbackEmail(), sent ? "" : "Hellome@example.com");
        EXPECT_EQ(form->canSend(), !sent) << "after a failure Send can be pressed again";
        if (!sent) {  // pressing it again clears the error at once
            form->sendFeedback();
            EXPECT_TRUE(form->feedbackSending() && form->feedbackError().isEmpty());
            ASSERT_TRUE(settled(*form));
        }
    }
}
