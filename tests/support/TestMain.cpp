#include <QGuiApplication>
#include <QString>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

QtMessageHandler qtHandler = nullptr;

// A warning Qt gives about the application's own QML (a binding loop, a property it cannot assign)
// fails the test that loaded it; Qt's warnings about anything else are only shown.
void failOnOwnQmlWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const bool ours = message.contains(QLatin1String("qrc:/Sablix/")) ||
                      (context.file && QString::fromUtf8(context.file).startsWith(QLatin1String("qrc:/Sablix/")));
    if ((type == QtWarningMsg || type == QtCriticalMsg) && ours)
        ADD_FAILURE() << "QML warning: " << message.toStdString();
    if (qtHandler) qtHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    // Test discovery runs every binary at build time, usually without a display.
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    qtHandler = qInstallMessageHandler(failOnOwnQmlWarnings);
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
