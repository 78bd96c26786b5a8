#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include "app/Generation/GenerationStack.h"
#include "support/LogCapture.h"
#include "support/PeakMemory.h"
#include "support/Wait.h"

using generationtest::GenerationStack;
using nlohmann::json;
using sablix::AIGenerationViewModel;

namespace {

const std::vector<std::string> kStartOnly = {"ai_generation_start"};

// A generation model over the real proxy client, against the test backend.
class GenerationTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(stack.start()); }

    // Starts a generation and waits for its end.
    void generate(const QString& title = "Greeting") {
        model->generate(title);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !model->isGenerating(); }, 15'000)) << "the generation never ended";
    }
    std::string text() const { return model->generatedText().toStdString(); }
    std::string message() const { return model->errorMessage().value_or(""); }

    GenerationStack stack;
    std::unique_ptr<AIGenerationViewModel> model = stack.makeModel();
};

}  // namespace

TEST_F(GenerationTest, FragmentsReachTheModelOneByOneWhileTheServerIsStillWriting) {
    std::vector<std::string> fragments;
    for (int i = 0; i < 20; ++i) fragments.push_back("part " + std::to_string(i) + (i % 3 == 0 ? " é😀;" : ";"));
    // The server makes each write only once the model has shown the one before: a fragment held
    // back until a later one (or the end) would leave the stream waiting 30 s and show up below.
    stack.script({{"fragments", fragments}, {"stepped", true}});
    std::vector<std::string> seen;
    std::vector<int> writtenWhenSeen;
    QObject::connect(model.get(), &AIGenerationViewModel::generatedTextChanged, [&] {
        seen.push_back(text());
        writtenWhenSeen.push_back(stack.streams().at(0).value("written", -1));
        stack.step();
    });
    generate();

    // One change per fragment, each adding exactly that fragment; the final whole text changes nothing.
    ASSERT_EQ(seen.size(), fragments.size());
    std::string expected;
    for (size_t i = 0; i < fragments.size(); ++i) {
        expected += fragments[i];
        EXPECT_EQ(seen[i], expected) << "change " << i;
        // Seen right after the server wrote it, before the next write and the end marker (write 21).
        EXPECT_EQ(writtenWhenSeen[i], static_cast<int>(i) + 1) << "change " << i;
    }
    EXPECT_EQ(message(), "");
    EXPECT_EQ(stack.analytics.names(), (std::vector<std::string>{"ai_generation_start", "ai_generation_complete"}));
}

TEST_F(GenerationTest, TextCutAnywhereInTransitArrivesByteForByte) {
    const std::vector<std::string> fragments = {
        "Grüße, ", "👩‍👩‍👧 family ", "🇩🇪", " naïve café ", "日本語", "\u00a0end"};
    std::string whole;
    for (const auto& f : fragments) whole += f;
    for (int chunkBytes : {1, 2, 3, 5}) {
        SCOPED_TRACE("pieces of " + std::to_string(chunkBytes) + " bytes");
        stack.script({{"fragments", fragments}, {"chunkBytes", chunkBytes}});
        int changes = 0;
        auto counting = QObject::connect(model.get(), &AIGenerationViewModel::generatedTextChanged,
                                         [&] { changes += model->generatedText().isEmpty() ? 0 : 1; });
        generate();
        QObject::disconnect(counting);
        EXPECT_EQ(model->generatedText().toUtf8().toStdString(), whole);
        EXPECT_EQ(changes, static_cast<int>(fragments.size())) << "one change per fragment";
    }
}

TEST_F(GenerationTest, SendsTheTrimmedTitleTheOpenHintAndTheAccountToken) {
    stack.script({{"fragments", {"Dear Sir"}}});
    model->setPromptHint("  formal ");
    generate(" \n Greeting\t ");  // the hint field is closed: its text is not sent
    model->setShowPromptHint(true);
    generate("Greeting");  // open: sent as typed
    // A blank title sends nothing and changes nothing but the message.
    model->generate("  \n\t");
    EXPECT_EQ(message(), "Enter a snippet title first.");
    EXPECT_EQ(text(), "Dear Sir");

    const auto log = stack.backend.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].method + " " + log[0].path, "POST /api/generate");
    EXPECT_EQ(log[0].header("Authorization"), std::string("Bearer ") + generationtest::kAccessToken);
    EXPECT_EQ(json::parse(log[0].body), (json{{"snippetTitle", "Greeting"}, {"promptHint", ""}, {"maxTokens", 1024}}));
    EXPECT_EQ(json::parse(log[1].body)["promptHint"], "  formal ");

    // Without an account the request still goes, without a token.
    GenerationStack anonymous(false);
    ASSERT_TRUE(anonymous.start());
    anonymous.script({{"fragments", {"Hi"}}});
    auto anonymousModel = anonymous.makeModel();
    anonymousModel->generate("Greeting");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !anonymousModel->isGenerating(); }, 15'000));
    EXPECT_EQ(anonymousModel->generatedText(), "Hi");
    EXPECT_EQ(anonymous.backend.log().at(0).header("Authorization"), "");
}

// Every way a generation can fail ends with one message line, the fragments that had arrived,
// no completion recorded, and never a crash.
TEST_F(GenerationTest, EachFailureEndsWithItsMessageAndTheTextSoFar) {
    const auto fail = [](int status, std::string body) {
        return [status, body](GenerationStack& s) { s.backend.fail("/api/generate", status, body); };
    };
    const auto script = [](json generate) { return [generate](GenerationStack& s) { s.script(generate); }; };
    const auto baseURL = [](std::string url) {
        return [url](GenerationStack& s) { s.defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, url); };
    };
    const std::string empty = "AI returned empty response. Try a different title or prompt.";
    struct Case {
        const char* name;
        std::function<void(GenerationStack&)> arrange;
        std::string message;  // ending in ": " when only the start is fixed
        std::string text;
        std::string logged = "";
    };
    const std::vector<Case> cases = {
        {"400", fail(400, R"({"error":"title too long"})"), "Network error: Invalid request", ""},
        {"401", fail(401, ""), "Server error (401). Please try again.", ""},
        {"403", fail(403, "{}"), "Server error (403). Please try again.", ""},
        {"429 with a retry time", fail(429, R"({"retry_after":30})"), "Rate limited. Try again in 30 seconds.", ""},
        {"429 with the retry time as text", fail(429, R"({"retry_after":"30"})"),
         "Rate limited. Please try again later.", ""},
        {"429 without a body", fail(429, ""), "Rate limited. Please try again later.", ""},
        {"500 with a text body", fail(500, "upstream exploded"), "Server error (500). Please try again.", ""},
        {"a 10 KB error body is read only to its limit", fail(502, std::string(10 * 1024, 'x')),
         "Server error (502). Please try again.", "", "Raw error body: " + std::string(4097, 'x')},
        {"an error event after some text", script({{"fragments", {"Partial "}}, {"error", "Overloaded"}}),
         "Network error: Overloaded", "Partial "},
        {"a stream without text", script({{"fragments", json::array()}}), empty, ""},
        {"a stream of blanks", script({{"fragments", {" ", "\n\t"}}}), empty, " \n\t"},
        // Qt reports this drop as a clean end as often as not; it must still fail.
        {"a connection dropped in the middle of a line",
         script({{"raw", testservers::generationTextEvent("Hi") + R"(data: {"type":"content_block_delta","del)"},
                 {"cutOff", true}}),
         "Unexpected error: Connection closed", "Hi"},
        {"a backend that never answers", [](GenerationStack& s) { s.backend.delay("/api/generate", 10'000); },
         "Unexpected error: The request timed out.", ""},
        {"no backend at all", baseURL("http://127.0.0.1:1"), "Unexpected error: ", ""},
        {"a base URL that is no URL", baseURL("http://exa mple"), "Network error: Invalid proxy URL configuration", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stack.backend.reset();
        stack.defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, stack.backend.baseURL());
        c.arrange(stack);
        const size_t eventsBefore = stack.analytics.names().size();
        testsupport::LogCapture log;
        generate();
        EXPECT_EQ(c.message.ends_with(": ") ? message().substr(0, c.message.size()) : message(), c.message);
        EXPECT_EQ(text(), c.text);
        const auto names = stack.analytics.names();
        EXPECT_EQ(std::vector<std::string>(names.begin() + eventsBefore, names.end()), kStartOnly);
        if (!c.logged.empty()) {
            EXPECT_TRUE(log.has("ProxyService", c.logged));
        }
    }
}

// A stream that never ends is stopped at the limit of a whole generation, and costs no more than
// that, also while the main thread is too busy to read it.
TEST_F(GenerationTest, AnEndlessStreamStopsAtItsLimitWithoutEverBeingHeld) {
    constexpr int64_t kMiB = 1024 * 1024;
    stack.script({{"fragments", {"Hi"}}, {"done", false}, {"flood", true}});
    testsupport::resetPeakResidentBytes();
    const int64_t before = testsupport::peakResidentBytes();
    model->generate("Greeting");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !stack.streams().empty(); }, 15'000));
    const auto stream = [&] { return stack.streams().at(0); };
    testsupport::waitUntil(
        [&] { return stream().value("closedByClient", false) || stream().value("writtenBytes", 0) > 64 * kMiB; },
        60'000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->isGenerating(); }, 15'000));
    EXPECT_EQ(message(), "Unexpected error: The server's answer is larger than 4 MiB.");
    const int64_t sent = stream().value("writtenBytes", int64_t(0));
    EXPECT_TRUE(stream().value("closedByClient", false));
    EXPECT_LT(sent, 20 * kMiB);
    EXPECT_LT(testsupport::peakResidentBytes() - before, 28 * kMiB + testsupport::keptOfWhatTheBackendSent(sent));
}

TEST_F(GenerationTest, StopClosesTheConnectionAndRegenerateShowsOnlyTheNewText) {
    json slow = {{"fragments", {"old-1 ", "old-2 ", "old-3 ", "old-4 ", "old-5 "}}, {"intervalMs", 50}, {"hold", true}};
    stack.script(slow);
    model->generate("Greeting");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !text().empty(); }, 10'000));
    model->stop();
    EXPECT_FALSE(model->isGenerating());
    QCoreApplication::processEvents();  // fragments that had arrived before Stop still land
    const std::string partial = text();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stack.streams().at(0).value("closedByClient", false); }, 10'000))
        << "the server never saw the connection close";
    QTest::qWait(200);
    EXPECT_EQ(text(), partial);
    EXPECT_EQ(message(), "");
    EXPECT_EQ(stack.analytics.names(), kStartOnly);

    // Regenerate in the middle of a stream: stop, empty the text, start again.
    stack.script(slow);
    model->generate("Greeting");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !text().empty(); }, 10'000));
    stack.script({{"fragments", {"new-1 ", "new-2"}}, {"intervalMs", 50}});
    model->stop();
    model->setGeneratedText("");
    generate();
    EXPECT_EQ(text(), "new-1 new-2");
    EXPECT_TRUE(QTest::qWaitFor([&] { return stack.streams().at(1).value("closedByClient", false); }, 10'000));
    EXPECT_EQ(stack.analytics.names(), (std::vector<std::string>{"ai_generation_start", "ai_generation_start",
                                                                 "ai_generation_start", "ai_generation_complete"}));
}

// A whole answer may end without a final line break on any line; only a data line that lost its
// end means the body was cut.
TEST_F(GenerationTest, AnAnswerEndsWellWithoutItsLastLineBreakUnlessADataLineIsCut) {
    const std::string cut = "Unexpected error: Connection closed";
    const std::pair<std::string, std::string> cases[] = {{": keep-alive", ""},
                                                         {"event: done", ""},
                                                         {"data:[DONE]", ""},
                                                         {"data: [DONE]", ""},
                                                         {R"(data: {"type":"content_block_delta","del)", cut},
                                                         {"data: [DO", cut}};
    for (const auto& [last, expected] : cases) {
        stack.script({{"raw", testservers::generationTextEvent("Hi") + last}});
        generate();
        EXPECT_EQ(message(), expected) << last;
        EXPECT_EQ(text(), "Hi") << last;
    }
}
