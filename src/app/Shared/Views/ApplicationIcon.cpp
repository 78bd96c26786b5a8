#include "Shared/Views/ApplicationIcon.h"

#include <QFile>
#include <QGuiApplication>
#include <QIcon>

namespace sablix {

void ApplicationIcon::useForWindows() { QGuiApplication::setWindowIcon(QIcon(QString::fromLatin1(kResource))); }

std::string ApplicationIcon::svg() {
    QFile file(QString::fromLatin1(kResource));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll().toStdString();
}

}  // namespace sablix
