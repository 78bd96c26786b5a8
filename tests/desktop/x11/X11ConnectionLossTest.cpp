#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "X11TestSupport.h"
#include "desktop/KeyCodes.h"
#include "desktop/x11/X11Accessibility.h"
#include "desktop/x11/X11Display.h"
#include "desktop/x11/X11KeyLayout.h"
#include "desktop/x11/X11KeyPoster.h"
#include "desktop/x11/X11Workspace.h"
#include "support/TkTextField.h"

using namespace desktop;

// Xlib's own handlers would end the whole process here.
TEST(ConnectionLoss, EveryLayerAnswersEmptyOnceTheServerIsGone) {
    // A display number of its own, far above those other servers pick for themselves, so that
    // no server started meanwhile answers the layers when they try to connect again.
    const std::string number = ":" + std::to_string(3000 + getpid() % 3000);
    auto server = std::make_unique<testsupport::XvfbServer>(std::vector<std::string>{number});
    ASSERT_TRUE(server->started());
    const auto display = server->display();
    X11KeyLayout layout(display);
    X11KeyPoster poster(display);
    X11Workspace workspace(display);
    X11Accessibility accessibility(display);
    auto source = poster.createEventSource();
    ASSERT_TRUE(source);
    std::optional<RunningApplication> focused;
    {
        testsupport::TkTextField field;
        ASSERT_TRUE(field.start(display));
        ASSERT_TRUE(field.focus());
        focused = workspace.frontmostApplication();
        ASSERT_TRUE(focused);
        ASSERT_EQ(layout.text(KeyDown{keycode::kA, 38, 0}), "a");
    }

    x11test::RecordingTap recorder(display);
    ASSERT_TRUE(recorder.recording());
    // A second tap is being stopped while the server goes.
    x11test::RecordingTap stopping(display);
    ASSERT_TRUE(stopping.recording());
    auto stopped = std::async(std::launch::async, [&] { return stopping.stop(); });

    server.reset();
    EXPECT_EQ(recorder.result(), KeyTap::RunResult::failed);
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(stopped.get().has_value());
    EXPECT_EQ(layout.text(KeyDown{keycode::kA, 38, 0}), "");
    EXPECT_EQ(layout.keyName(keycode::kA), "");
    source->postKey(keycode::kDelete, true);
    source->postKey(keycode::kDelete, false);
    EXPECT_EQ(poster.createEventSource(), nullptr);
    EXPECT_EQ(workspace.frontmostApplication(), std::nullopt);
    EXPECT_FALSE(workspace.activate(*focused));
    EXPECT_FALSE(accessibility.isProcessTrusted(false));
}

// A server that exits between Xlib's look for room to write and the write itself leaves the
// write to meet a closed connection. That must fail the call, not end the process by SIGPIPE.
TEST(ConnectionLoss, AWriteThatMeetsAClosedConnectionMarksItLost) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    auto display = X11Display::open(server.display());
    ASSERT_TRUE(display);
    // Our side closed for writing: there is nothing to read first, the next write fails at once.
    ASSERT_EQ(::shutdown(ConnectionNumber(display->get()), SHUT_WR), 0);
    EXPECT_FALSE(display->syncWithoutErrorSince(display->errorCount()));
    EXPECT_TRUE(display->lost());
}
