#include <QCoreApplication>
#include <QCoro/QCoroTimer>
#include <QTest>
#include <gtest/gtest.h>

#include "Generation/AIGenerationViewModel.h"
#include "desktop/QtMainQueue.h"
#include "support/FakeAnalyticsTracking.h"

using sablix::AIGenerationViewModel;

namespace {

// A service the test drives by hand: a generation hands over what the test feeds it and returns
// once the test gives it a result, as a service that notices cancellation late would. One given
// `immediately` hands over its fragments and returns the joined text without letting the event
// loop run in between.
class HandDrivenService final : public sablix::AIServiceProtocol {
public:
    struct Generation {
        DeltaHandler onDelta;
        std::stop_token cancellation;
        std::optional<std::string> result;
        bool returned = false;
    };
    QCoro::Task<std::string> generateStream(sablix::AIGenerationRequest, DeltaHandler onDelta,
                                            std::stop_token cancellation) override {
        std::string whole;
        for (const auto& fragment : immediately) {
            whole += fragment;
            onDelta(fragment);
        }
        if (!immediately.empty()) co_return whole;
        auto generation = std::make_shared<Generation>(Generation{std::move(onDelta), cancellation, std::nullopt});
        generations.push_back(generation);
        while (!generation->result) co_await QCoro::sleepFor(std::chrono::milliseconds(1));
        generation->returned = true;
        co_return *generation->result;
    }
    std::vector<std::string> immediately;
    std::vector<std::shared_ptr<Generation>> generations;
};

class GenerationOrderTest : public ::testing::Test {
protected:
    std::shared_ptr<HandDrivenService> service = std::make_shared<HandDrivenService>();
    testsupport::FakeAnalyticsTracking analytics;
    AIGenerationViewModel model{service, analytics, desktop::QtMainQueue::shared()};
    std::vector<QString> seen;
    QMetaObject::Connection recording = QObject::connect(&model, &AIGenerationViewModel::generatedTextChanged,
                                                         [this] { seen.push_back(model.generatedText()); });
};

}  // namespace

TEST_F(GenerationOrderTest, AStoppedGenerationChangesNothingOnceRegenerateStartedTheNext) {
    model.generate("Greeting");
    auto old = service->generations.at(0);
    old->onDelta("Hello ");
    QCoreApplication::processEvents();

    old->onDelta("from before");  // on its way to the main thread when Regenerate comes
    model.stop();
    model.setGeneratedText("");
    model.generate("Greeting");
    auto current = service->generations.at(1);
    current->onDelta("New ");
    old->result = "Hello from before";  // the stopped one still ends, and well
    QTest::qWait(50);
    EXPECT_TRUE(model.isGenerating()) << "the stopped generation's end must not end the new one";

    current->onDelta("text");
    current->result = "New text";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isGenerating(); }, 5000));
    EXPECT_EQ(seen, (std::vector<QString>{"Hello ", "", "New ", "New text"}));
    EXPECT_EQ(analytics.names(),
              (std::vector<std::string>{"ai_generation_start", "ai_generation_start", "ai_generation_complete"}));
}

TEST_F(GenerationOrderTest, TheWholeTextLandsAfterEveryFragmentThatCameBeforeIt) {
    service->immediately = {"a", "b", "c"};
    model.generate("Greeting");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isGenerating(); }, 5000));
    EXPECT_EQ(seen, (std::vector<QString>{"a", "ab", "abc"}));
    EXPECT_EQ(analytics.names(), (std::vector<std::string>{"ai_generation_start", "ai_generation_complete"}));
}

// Stop keeps the fragments that had arrived before it, and nothing after. Closing the editor
// while a generation runs cancels nothing: it ends on its own and its success counts.
TEST_F(GenerationOrderTest, StopKeepsWhatHadArrivedAndAClosedEditorLetsTheGenerationFinish) {
    model.generate("Greeting");
    auto stopped = service->generations.at(0);
    stopped->onDelta("Hello ");  // on its way to the main thread when Stop comes
    model.stop();
    stopped->onDelta("world");
    stopped->result = "Hello world";
    ASSERT_TRUE(QTest::qWaitFor([&] { return stopped->returned; }, 5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(model.generatedText(), "Hello ");

    auto editor = std::make_unique<AIGenerationViewModel>(service, analytics, desktop::QtMainQueue::shared());
    editor->generate("Letter");
    auto orphan = service->generations.at(1);
    editor.reset();
    orphan->result = "Dear Sir";
    ASSERT_TRUE(QTest::qWaitFor([&] { return analytics.names().size() == 3; }, 5000));
    EXPECT_FALSE(orphan->cancellation.stop_requested());
    EXPECT_EQ(analytics.names().back(), "ai_generation_complete");
}
