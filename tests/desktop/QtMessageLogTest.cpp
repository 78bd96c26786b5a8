#include <QLoggingCategory>
#include <QQmlComponent>
#include <QQmlEngine>
#include <gtest/gtest.h>
#include <memory>

#include "desktop/QtMessageLog.h"
#include "support/LogCapture.h"

namespace {

// A binding error in a view is written by Qt, not by us: it must still reach the log a user sends.
TEST(QtMessageLog, QmlBindingErrorsReachTheLogUnderTheirCategory) {
    testsupport::LogCapture log;
    desktop::routeQtMessagesToLog();
    QQmlEngine engine;
    QQmlComponent component(&engine);
    component.setData("import QtQml\nQtObject { property int width: undefinedThing.size }", QUrl("qrc:/Broken.qml"));
    std::unique_ptr<QObject> object(component.create());
    QLoggingCategory platformCategory("qt.qpa.xcb");
    qCWarning(platformCategory) << "connection lost";
    qInstallMessageHandler(nullptr);

    EXPECT_TRUE(log.contains("qt.qpa.xcb", platform::LogLevel::Error, "connection lost"));

    bool found = false;
    for (const auto& record : log.records())
        if (record.message.find("undefinedThing") != std::string::npos) {
            found = true;
            EXPECT_EQ(record.level, platform::LogLevel::Error);
        }
    EXPECT_TRUE(found);
}

}  // namespace
