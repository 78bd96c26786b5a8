#include <gtest/gtest.h>

#include "X11TestSupport.h"
#include "desktop/x11/X11Accessibility.h"
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

TEST(Accessibility, TrustedWhenTheServerOffersRecordAndXTest) {
    desktop::X11Accessibility accessibility(x11test::sharedServer().display());
    EXPECT_TRUE(accessibility.isProcessTrusted(true));
}

TEST(Accessibility, NotTrustedWithoutRecordAndSaysWhyOnlyWhenAskedToPrompt) {
    testsupport::XvfbServer server({"-extension", "RECORD"});
    ASSERT_TRUE(server.started());
    desktop::X11Accessibility accessibility(server.display());
    bool trusted = true;
    EXPECT_TRUE(loggedWhile([&] { trusted = accessibility.isProcessTrusted(false); }).empty());
    EXPECT_FALSE(trusted);
    const auto messages = loggedWhile([&] { trusted = accessibility.isProcessTrusted(true); });
    EXPECT_FALSE(trusted);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("RECORD"), std::string::npos) << messages[0];
}
