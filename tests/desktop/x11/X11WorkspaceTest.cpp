#include <gtest/gtest.h>

#include <QTest>
#include <chrono>
#include <cstdlib>
#include <optional>

#include "X11TestSupport.h"
#include "desktop/x11/X11Workspace.h"
#include "support/ModelsTestSupport.h"
#include "support/TkTextField.h"

using desktop::RunningApplication;
using desktop::X11Workspace;
using testsupport::TkTextField;

// Without a window manager the input focus is followed; the end-to-end tests prove it (the
// fill-in dialog hands the focus back, terminals are told). Here: no focus at all.
TEST(Workspace, HasNoFrontmostApplicationWhenNothingHasTheFocus) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    TkTextField field;
    ASSERT_TRUE(field.start(server.display()));
    X11Workspace workspace(server.display());
    EXPECT_EQ(workspace.frontmostApplication(), std::nullopt);
    EXPECT_FALSE(workspace.activate(RunningApplication{}));
    EXPECT_FALSE(workspace.hasWindowManager());
}

// A window manager hands the focus back by itself when a window closes, so only here does a
// request it ignored show.
TEST(Workspace, FollowsAndActivatesTheActiveWindowUnderAWindowManager) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.startWindowManager());
    const std::string display = server.display();
    TkTextField first, second;
    ASSERT_TRUE(first.start(display));
    ASSERT_TRUE(second.start(display));
    X11Workspace workspace(display);
    EXPECT_TRUE(workspace.hasWindowManager());
    ASSERT_TRUE(second.focus());
    const auto frontmost = workspace.frontmostApplication();
    ASSERT_TRUE(frontmost.has_value());
    EXPECT_EQ(frontmost->window, second.window());
    EXPECT_EQ(frontmost->processIdentifier, second.pid());
    EXPECT_EQ(frontmost->windowClass, TkTextField::kClassName);

    ASSERT_TRUE(workspace.activate(RunningApplication{first.pid(), TkTextField::kClassName, first.window()}));
    const auto frontWindow = [&] { return workspace.frontmostApplication().value_or(RunningApplication{}).window; };
    // The window manager answers the request in its own time.
    for (int i = 0; i < 250 && frontWindow() != first.window(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(frontWindow(), first.window());
    ASSERT_EQ(x11test::run(display, {"xdotool", "type", "k"}), 0);
    EXPECT_EQ(first.waitForContents("k"), "k");
    EXPECT_EQ(second.contents(), "");
    second.stop();
    EXPECT_FALSE(workspace.activate(*frontmost));
}

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

// Whether a browser took the URL comes back later, without holding the caller: an xdg-open that
// fails (no browser: exit 3), or none at all, is a failure; one that succeeds is not.
TEST(Workspace, ReportsWhetherXdgOpenCouldOpenTheURL) {
    modelstest::TempDir failing, working;
    modelstest::writeFile(failing.path() / "xdg-open", "#!/bin/sh\nexit 3\n");
    modelstest::writeFile(working.path() / "xdg-open", "#!/bin/sh\nexit 0\n");
    for (const auto& bin : {failing.path(), working.path()})
        std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    X11Workspace workspace(x11test::sharedServer().display());
    const auto open = [&](const std::string& path) {
        std::optional<bool> opened;
        setenv("PATH", path.c_str(), 1);
        workspace.openURLAndReport("https://example.com/", [&](bool answer) { opened = answer; });
        setenv("PATH", savedPath.c_str(), 1);
        EXPECT_TRUE(QTest::qWaitFor([&] { return opened.has_value(); }, 10000)) << path;
        return opened.value_or(true);
    };
    EXPECT_FALSE(open(failing.path().string() + ":/usr/bin:/bin"));
    EXPECT_TRUE(open(working.path().string() + ":/usr/bin:/bin"));
    EXPECT_FALSE(open("/nonexistent"));
}
