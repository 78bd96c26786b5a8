// The feedback form against the test backend: what it sends, and what it makes of every kind of
// answer, including none.
#include <QTest>
#include <gtest/gtest.h>

#include "Models/Environment/AppEnvironment.h"
#include "Models/Networking/APIClient.h"
#include "Models/Settings/FeedbackForm.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"

using sablix::FeedbackForm;
using testservers::TestBackend;

namespace {

class FeedbackFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend.start());
        defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend.baseURL());
    }
    std::unique_ptr<FeedbackForm> makeForm(std::chrono::milliseconds timeout = FeedbackForm::kTimeout) {
        return std::make_unique<FeedbackForm>(client, std::optional<std::string>("2.1.0"), "12.0.0", timeout);
    }
    static bool settled(const FeedbackForm& form) {
        return QTest::qWaitFor([&] { return !form.feedbackSending(); }, 10000);
    }

    TestBackend backend;
    platform::MemoryDefaults defaults;
    sablix::AppEnvironment environment{sablix::AppEnvironment::Kind::development, &defaults};
    sablix::APIClient client{environment};
};

}  // namespace

TEST_F(FeedbackFormTest, TheBodyHoldsExactlyTheTrimmedTextsAndTheVersions) {
    const std::string longMessage(1 << 20, 'x');
    for (const auto& [message, email, expectedMessage, expectedEmail] :
         std::vector<std::tuple<std::string, std::string, std::string, std::string>>{
             {"  Ça marche très bien — 日本語 👍\n\n", " me@example.com\t", "Ça marche très bien — 日本語 👍",
              "me@example.com"},
             {"\n" + longMessage + " ", "", longMessage, ""},
         }) {
        backend.reset();
        auto form = makeForm();
        form->setFeedbackMessage(QString::fromStdString(message));
        form->setFeedbackEmail(QString::fromStdString(email));
        form->sendFeedback();
        ASSERT_TRUE(settled(*form));
        const auto log = backend.log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].method, "POST");
        EXPECT_EQ(log[0].path, TestBackend::kFeedbackRoute);
        EXPECT_EQ(log[0].header("content-type"), "application/json");
        EXPECT_EQ(log[0].header("authorization"), "");
        EXPECT_EQ(nlohmann::json::parse(log[0].body), (nlohmann::json{{"message", expectedMessage},
                                                                      {"email", expectedEmail},
                                                                      {"appVersion", "2.1.0"},
                                                                      {"osVersion", "12.0.0"}}));
    }
    EXPECT_EQ(FeedbackForm::requestBody("m", "", std::nullopt, "12.0.0")["appVersion"], "unknown");
}

TEST_F(FeedbackFormTest, OnlyA200CountsAsSentAndEveryFailureKeepsTheTexts) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::chrono::milliseconds timeout;
        bool sent;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"200, whatever its body", [&] { backend.fail(TestBackend::kFeedbackRoute, 200, "<garbage>"); },
         FeedbackForm::kTimeout, true, ""},
        {"201", [&] { backend.fail(TestBackend::kFeedbackRoute, 201, "{}"); }, FeedbackForm::kTimeout, false,
         FeedbackForm::kFailedMessage},
        {"500", [&] { backend.fail(TestBackend::kFeedbackRoute, 500, "oops"); }, FeedbackForm::kTimeout, false,
         FeedbackForm::kFailedMessage},
        {"a backend that does not answer in time", [&] { backend.delay(TestBackend::kFeedbackRoute, 2000); },
         std::chrono::milliseconds(200), false, "Failed to send: The request timed out."},
        // Last: the backend stays down.
        {"no backend at all", [&] { backend.stop(); }, FeedbackForm::kTimeout, false, "Failed to send: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        backend.reset();
        c.arrange();
        auto form = makeForm(c.timeout);
        form->setFeedbackMessage("Hello");
        form->setFeedbackEmail("me@example.com");
        ASSERT_TRUE(form->canSend());
        form->sendFeedback();
        EXPECT_TRUE(form->feedbackSending());
        EXPECT_FALSE(form->canSend());
        form->sendFeedback();
        ASSERT_TRUE(settled(*form));
        EXPECT_LE(backend.log().size(), 1u) << "pressed twice while sending, it sends once";
        EXPECT_EQ(form->feedbackSent(), c.sent);
        EXPECT_TRUE(form->feedbackError().toStdString().starts_with(c.error)) << form->feedbackError().toStdString();
        EXPECT_EQ(form->feedbackError().isEmpty(), c.error.empty());
        EXPECT_EQ(form->feedbackMessage(), c.sent ? "" : "Hello");
        EXPECT_EQ(form->feedbackEmail(), c.sent ? "" : "me@example.com");
        EXPECT_EQ(form->canSend(), !c.sent) << "after a failure Send can be pressed again";
        if (!c.sent) {
            // Pressing it again clears the error at once.
            form->sendFeedback();
            EXPECT_TRUE(form->feedbackSending());
            EXPECT_TRUE(form->feedbackError().isEmpty());
            ASSERT_TRUE(settled(*form));
        }
    }
}
