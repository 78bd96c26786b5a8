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

#include "Controllers/SnippetController.h"
#include "Models/Tutorial/TutorialManager.h"
#include "Models/Tutorial/TutorialModel.h"
#include "Views/ItemProbe.h"
#include "platform/FileDefaults.h"
#include "support/SablixSession.h"
#include "support/XvfbServer.h"

using e2e::runOn;
using e2e::waitUntil;
using sablix::TutorialManager;
namespace fs = std::filesystem;

namespace {

struct ProbedItem {
    std::string name;
    int x = 0, y = 0, width = 0, height = 0;
    bool enabled = true;
    std::string text;
};

class TutorialE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        ASSERT_TRUE(server.startWindowManager());
        probeFile = fs::temp_directory_path() / ("sablix-tutorial-probe-" + std::to_string(::getpid()) + ".json");
        ::setenv(sablix::ItemProbe::kVariable, probeFile.c_str(), 1);
    }

    void TearDown() override {
        if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", session.log().c_str());
        session.stop();
        ::unsetenv(sablix::ItemProbe::kVariable);
        std::error_code ignored;
        fs::remove(probeFile, ignored);
    }

    std::optional<ProbedItem> maybe(const std::string& name) {
        QFile file(QString::fromStdString(probeFile.string()));
        if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
        for (const auto& value : QJsonDocument::fromJson(file.readAll()).array()) {
            const QJsonObject o = value.toObject();
            ProbedItem item{o["name"].toString().toStdString(),
                            o["x"].toInt(),
                            o["y"].toInt(),
                            o["width"].toInt(),
                            o["height"].toInt(),
                            o["enabled"].toBool(),
                            o["text"].toString().toStdString()};
            if (item.name == name && item.width > 0 && item.height > 0) return item;
        }
        return std::nullopt;
    }
    bool shows(const std::string& name) {
        return waitUntil([&] { return maybe(name).has_value(); }, 10000);
    }
    void click(const std::string& name) {
        std::optional<ProbedItem> target;
        ASSERT_TRUE(waitUntil([&] { return (target = maybe(name)).has_value() && target->enabled; }, 10000))
            << "the window shows no " << name;
        int code = -1;
        runOn(server.display(),
              {"xdotool", "mousemove", "--sync", std::to_string(target->x + target->width / 2),
               std::to_string(target->y + target->height / 2), "click", "1"},
              &code);
        ASSERT_EQ(code, 0);
    }
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
    fs::path probeFile;
    e2e::SablixSession session{server.display()};
};

}  // namespace

TEST_F(TutorialE2E, FreshInstallationPracticesTheTriggerAndFinishesForGood) {
    ASSERT_TRUE(session.start());
    // The engine runs, so anything it did to keys typed into Sablix itself would show below.
    ASSERT_TRUE(session.waitForLog(e2e::SablixSession::kTapRunning)) << session.log();
    ASSERT_TRUE(shows("tutorialView")) << "a fresh installation starts with the tutorial";
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
