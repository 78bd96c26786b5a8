#include <gtest/gtest.h>

#include "X11TestSupport.h"
#include "desktop/x11/X11Accessibility.h"
#include "desktop/x11/X11KeyPoster.h"
#include "platform/Log.h"

namespace {

std::vector<std::string> loggedWhile(const std::function<void()>& action) {
    std::vector<std::string> messages;
    platform::setLogSink([&](const platform::LogRecord& record) { messages.push_back(record.message); });
    action();
    platform::setLogSink(nullptr);
    return messages;
}

}  // namespace

// Without either extension keys can be neither watched nor typed: the permission is refused,
// saying why only when the user is to be asked, and neither the tap nor a key source is made.
TEST(Accessibility, TrustedOnlyWithRecordAndXTest) {
    EXPECT_TRUE(desktop::X11Accessibility(x11test::sharedServer().display()).isProcessTrusted(true));
    for (const std::string extension : {"RECORD", "XTEST"}) {
        SCOPED_TRACE(extension);
        testsupport::XvfbServer server({"-extension", extension});
        ASSERT_TRUE(server.started());
        desktop::X11Accessibility accessibility(server.display());
        bool trusted = true;
        EXPECT_TRUE(loggedWhile([&] { trusted = accessibility.isProcessTrusted(false); }).empty());
        EXPECT_FALSE(trusted);
        const auto messages = loggedWhile([&] { trusted = accessibility.isProcessTrusted(true); });
        EXPECT_FALSE(trusted);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_NE(messages[0].find(extension), std::string::npos) << messages[0];
        if (extension == "RECORD") {
            EXPECT_FALSE(desktop::X11KeyTap(server.display()).create([](const desktop::KeyDown&) {}, {}));
        } else {
            EXPECT_EQ(desktop::X11KeyPoster(server.display()).createEventSource(), nullptr);
        }
    }
    EXPECT_FALSE(desktop::X11KeyTap(":4093").create([](const desktop::KeyDown&) {}, {}));
    EXPECT_EQ(desktop::X11KeyPoster(":4093").createEventSource(), nullptr);
}
