#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "X11TestSupport.h"
#include "desktop/x11/X11Workspace.h"
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

// Focus one field, then activate the other and check it is frontmost and gets the typed keys.
void checkFocusAndActivation(const std::string& display) {
    TkTextField first, second;
    ASSERT_TRUE(first.start(display));
    ASSERT_TRUE(second.start(display));
    X11Workspace workspace(display);

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

TEST(Workspace, FollowsTheInputFocusWithoutWindowManager) {
    checkFocusAndActivation(x11test::sharedServer().display());
}

TEST(Workspace, FollowsTheActiveWindowUnderAWindowManager) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.startWindowManager());
    checkFocusAndActivation(server.display());
}

TEST(Workspace, HasNoFrontmostApplicationWhenNothingHasTheFocus) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    TkTextField field;
    ASSERT_TRUE(field.start(server.display()));
    X11Workspace workspace(server.display());
    EXPECT_EQ(workspace.frontmostApplication(), std::nullopt);
    EXPECT_FALSE(workspace.activate(RunningApplication{}));
}

TEST(Workspace, OpensURLsThroughXdgOpenWithTheURLIntact) {
    namespace fs = std::filesystem;
    const fs::path bin = x11test::temporaryDirectory();
    ASSERT_FALSE(bin.empty());
    const fs::path received = bin / "received";
    {
        std::ofstream script(bin / "xdg-open");
        script << "#!/bin/sh\nprintf '%s' \"$1\" > " << received << ".tmp && /bin/mv " << received << ".tmp "
               << received << "\n";
    }
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";

    const std::string url = "https://example.com/a b?x=1&y=$(touch " + (bin / "pwned").string() + ")'\"";
    setenv("PATH", bin.c_str(), 1);
    X11Workspace workspace(x11test::sharedServer().display());
    const bool opened = workspace.openURL(url);
    setenv("PATH", "/nonexistent", 1);
    const bool openedWithoutXdgOpen = workspace.openURL(url);
    setenv("PATH", savedPath.c_str(), 1);

    EXPECT_TRUE(opened);
    EXPECT_FALSE(openedWithoutXdgOpen);
    for (int i = 0; i < 250 && !fs::exists(received); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream in(received);
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, url);
    EXPECT_FALSE(fs::exists(bin / "pwned"));
    fs::remove_all(bin);
}
