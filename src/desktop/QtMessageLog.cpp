#include "desktop/QtMessageLog.h"

#include <QString>

#include "platform/Log.h"

namespace desktop {
namespace {

platform::LogLevel levelOf(QtMsgType type) {
    switch (type) {
    case QtDebugMsg: return platform::LogLevel::Debug;
    case QtInfoMsg: return platform::LogLevel::Info;
    case QtWarningMsg:
    case QtCriticalMsg: return platform::LogLevel::Error;
    case QtFatalMsg: return platform::LogLevel::Fault;
    }
    return platform::LogLevel::Error;
}

void logQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    platform::emitLog({levelOf(type), platform::kAppSubsystem, context.category ? context.category : "default",
                       message.toStdString()});
}

}  // namespace

void routeQtMessagesToLog() { qInstallMessageHandler(logQtMessage); }

}  // namespace desktop
