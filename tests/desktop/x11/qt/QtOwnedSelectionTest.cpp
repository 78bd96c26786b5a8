#include <QClipboard>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

#include "desktop/x11/QtSelectionOwner.h"
#include "desktop/x11/X11Pasteboard.h"
#include "support/XvfbServer.h"

using desktop::X11Pasteboard;

// The user copied in one of our Qt windows, then our own GUI thread reads the selection (the
// editor's preview of {clipboard}): Qt would have to answer X on this very thread.
TEST(QtOwnedSelection, IsReadOnTheGuiThread) {
    QGuiApplication::clipboard()->setText("copied in our dialog ✓", QClipboard::Clipboard);
    QGuiApplication::clipboard()->setText("selected in our dialog", QClipboard::Selection);
    const auto qt = std::make_shared<desktop::QtSelectionOwner>();
    X11Pasteboard clipboard(std::getenv("DISPLAY"));
    X11Pasteboard primary(std::getenv("DISPLAY"), X11Pasteboard::Selection::primary);
    clipboard.setInProcessOwner(qt);
    primary.setInProcessOwner(qt);
    EXPECT_EQ(clipboard.string(), "copied in our dialog ✓");
    EXPECT_EQ(primary.string(), "selected in our dialog");
}

// Qt has to run on X11 here, on a server of this program's own, started before the application.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    testsupport::XvfbServer server;
    if (!server.started()) {
        std::fputs("Xvfb did not start\n", stderr);
        return 1;
    }
    server.exportDisplay();
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
