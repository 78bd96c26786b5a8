// The first-run tutorial as a new user meets it: the real `sablix` binary on a fresh
// configuration under a window manager, driven by real mouse and key events (xdotool); where its
// controls are comes from the application's item probe. The keystroke engine leaves Sablix's own
// window alone, so what the practice field shows is the tutorial's own expansion.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>

#include "Snippets/SnippetController.h"
#include "Tutorial/TutorialManager.h"
#include "Tutorial/TutorialPresenter.h"
#include "Shared/Views/ItemProbe.h"
#include "platform/FileDefaults.h"
#include "support/ProbedWindow.h"
#include "support/SablixSession.h"
#include "support/XvfbServer.h"

using e2e::runOn;
using e2e::waitUntil;
using sablix::TutorialManager;
namespace fs = std::filesystem;

namespace {

using e2e::ProbedItem;

class TutorialE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        ASSERT_TRUE(server.startWindowManager());
    }

    void TearDown() override {
        if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", session.log().c_str());
        session.stop();
    }

    std::optional<ProbedItem> maybe(const std::string& name) { return probed.maybe(name); }
    bool shows(const std::string& name) { return probed.shows(name); }
    void click(const std::string& name) { ASSERT_TRUE(probed.click(name)) << "the window shows no " << name; }
    // The tutorial's two keys as the application stored them; none while absent.
    std::optional<bool> storedKey(const char* key) {
        std::string configHome;
        for (const auto& variable : session.environment())
            if (variable.starts_with("XDG_CONFIG_HOME=")) configHome = variable.substr(16);
        platform::FileDefaults defaults(fs::path(configHome) / "sablix" / "defaults.json",
                                        {sablix::SnippetController::kSavedSnippetItemsKey});
        if (!defaults.contains(key)) return std::nullopt;
        return defaults.boolean(key);
    }

    testsupport::XvfbServer server;
    e2e::ProbedWindow probed{server.display()};
    e2e::SablixSession session{server.display()};
};

}  // namespace

TEST_F(TutorialE2E, FreshInstallationPracticesTheTriggerAndFinishesForGood) {
    ASSERT_TRUE(session.start());
    // The engine runs, so anything it did to keys typed into Sablix itself would show below.
    ASSERT_TRUE(session.waitForLog(e2e::SablixSession::kTapRunning)) << session.log();
    ASSERT_TRUE(shows("tutorialView")) << "a fresh installation starts with the tutorial";
    EXPECT_TRUE(probed.shows("welcomeMessage",
                             "Sablix expands short triggers into full text anywhere on your computer. Let's try it."));
    click("getStartedButton");

    ASSERT_TRUE(shows("practiceEditor"));
    EXPECT_FALSE(maybe("practiceNextButton")->enabled) << "no way on before an expansion";
    click("practiceEditor");
    int code = -1;
    runOn(server.display(), {"xdotool", "type", "--delay", "60", ";addr"}, &code);
    ASSERT_EQ(code, 0);
    // The starter library holds "addr", whose content is tried before the built-in address.
    const std::string expanded = "123 Main Street\nApt 4B\nNew York, NY 10001";
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto editor = maybe("practiceEditor");
            return editor && editor->text == expanded;
        },
        10000))
        << maybe("practiceEditor").value_or(ProbedItem{}).text;
    EXPECT_TRUE(shows("practiceSuccess"));
    EXPECT_TRUE(waitUntil([&] { return maybe("practiceNextButton").value_or(ProbedItem{}).enabled; }, 10000));
    EXPECT_FALSE(maybe("practiceEditor")->enabled) << "the practice is over";
    EXPECT_EQ(storedKey(TutorialManager::kHasCompletedTutorialKey), std::nullopt);

    click("practiceNextButton");
    click("tutorialDoneButton");
    EXPECT_TRUE(shows("snippetPlaceholder")) << "the tutorial gives way to the placeholder";
    EXPECT_TRUE(waitUntil([&] { return !maybe("tutorialView"); }, 10000));
    EXPECT_EQ(storedKey(TutorialManager::kHasCompletedTutorialKey), true);
    EXPECT_EQ(storedKey(TutorialManager::kHasDismissedWelcomeKey), true);
    EXPECT_EQ(session.storedLibrary().size(), 3u) << "the tutorial writes no library";

    ASSERT_EQ(session.stop(), 0);
    ASSERT_TRUE(session.start());
    EXPECT_TRUE(shows("snippetPlaceholder")) << "a finished tutorial does not come back at start-up";
    EXPECT_FALSE(maybe("tutorialView"));
}

// The last step offers the first template under a title the editor takes beside the starter
// library, which holds "sig", so the user's first snippet saves; the practice field takes the keys
// as soon as it shows.
TEST_F(TutorialE2E, TheFirstTemplateIsOfferedUnderAFreeTitleAndSaves) {
    ASSERT_TRUE(session.start());
    click("getStartedButton");
    ASSERT_TRUE(shows("practiceEditor"));
    ASSERT_TRUE(waitUntil([&] { return maybe("practiceNextButton").has_value(); }, 10000));
    int code = -1;
    runOn(server.display(), {"xdotool", "type", "--delay", "60", ";addr"}, &code);
    ASSERT_EQ(code, 0);
    ASSERT_TRUE(waitUntil([&] { return maybe("practiceNextButton").value_or(ProbedItem{}).enabled; }, 10000))
        << "typed without a click, the keys reached the practice field: "
        << maybe("practiceEditor").value_or(ProbedItem{}).text;
    click("practiceNextButton");

    click("templateRow:my-sig");
    ASSERT_TRUE(probed.shows("titleField", "my-sig"));
    click("saveButton");
    ASSERT_TRUE(waitUntil([&] { return session.storedLibrary().size() == 4; }, 10000))
        << (maybe("validationError") ? maybe("validationError")->text : "not saved");
    EXPECT_EQ(session.storedLibrary().back().snippetTitle, "my-sig");
    EXPECT_EQ(session.storedLibrary().back().snippet,
              "Best regards,\n{fill:Your Name}\n{fill:Your Title}\n{fill:Company}");
}
