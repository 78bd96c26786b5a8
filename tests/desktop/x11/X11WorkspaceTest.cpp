#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "X11TestSupport.h"
#include "desktop/x11/X11Workspace.h"
#include "support/ModelsTestSupport.h"
#include "support/TkTextField.h"

using desktop::RunningApplication;
using desktop::X11Workspace;
using testsupport::TkTextField;

namespace {

void expectNames(const std::optional<RunningApplication>& application, const TkTextField& field) {
    ASSERT_TRUE(application.has_value());
    EXPECT_EQ(application->window, field.window());
    EXPECT_EQ(application->processIdentifier, field.pid());
    EXPECT_EQ(application->bundleIdentifier, TkTextField::kClassName);
}

// Nothing is frontmost until a field has the focus; focus one field, then activate the other and
// check it is frontmost and gets the typed keys.
void checkFocusAndActivation(bool windowManager) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    if (windowManager) {
        ASSERT_TRUE(server.startWindowManager());
    }
    const std::string display = server.display();
    TkTextField first, second;
    ASSERT_TRUE(first.start(display));
    ASSERT_TRUE(second.start(display));
    X11Workspace workspace(display);
    if (!windowManager) {
        EXPECT_EQ(workspace.frontmostApplication(), std::nullopt);
    }
    EXPECT_FALSE(workspace.activate(RunningApplication{}));

    ASSERT_TRUE(first.focus());
    expectNames(workspace.frontmostApplication(), first);
    ASSERT_TRUE(second.focus());
    const auto frontmost = workspace.frontmostApplication();
    expectNames(frontmost, second);

    ASSERT_TRUE(workspace.activate(RunningApplication{first.pid(), TkTextField::kClassName, first.window()}));
    std::optional<RunningApplication> now;
    for (int i = 0; i < 250; ++i) {  // a window manager answers the request in its own time
        now = workspace.frontmostApplication();
        if (now && now->window == first.window()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    expectNames(now, first);
    ASSERT_EQ(x11test::run(display, {"xdotool", "type", "k"}), 0);
    EXPECT_EQ(first.waitForContents("k"), "k");
    EXPECT_EQ(second.contents(), "");

    second.stop();
    EXPECT_FALSE(workspace.activate(*frontmost));
}

}  // namespace

TEST(Workspace, FollowsTheInputFocusWithoutWindowManager) { checkFocusAndActivation(false); }

TEST(Workspace, FollowsTheActiveWindowUnderAWindowManager) { checkFocusAndActivation(true); }

// The URL reaches xdg-open as one argument, never as shell text.
TEST(Workspace, OpensURLsThroughXdgOpenWithTheURLIntact) {
    modelstest::TempDir bin;
    const auto received = bin.path() / "received";
    modelstest::writeFile(bin.path() / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > " + received.string() +
                                                       ".tmp && /bin/mv " + received.string() + ".tmp " +
                                                       received.string() + "\n");
    std::filesystem::permissions(bin.path() / "xdg-open", std::filesystem::perms::owner_all);
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    const std::string url = "https://example.com/a b?x=1&y=$(touch " + (bin.path() / "pwned").string() + ")'\"";
    X11Workspace workspace(x11test::sharedServer().display());
    setenv("PATH", bin.path().c_str(), 1);
    const bool opened = workspace.openURL(url);
    setenv("PATH", "/nonexistent", 1);
    const bool openedWithoutXdgOpen = workspace.openURL(url);
    setenv("PATH", savedPath.c_str(), 1);

    EXPECT_TRUE(opened);
    EXPECT_FALSE(openedWithoutXdgOpen);
    for (int i = 0; i < 250 && !std::filesystem::exists(received); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(modelstest::readFile(received), url);
    EXPECT_FALSE(std::filesystem::exists(bin.path() / "pwned"));
}
