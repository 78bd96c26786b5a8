#include "Shared/Views/ViewModule.h"

#include <QQmlEngine>

namespace sablix {

void findViewModule(QQmlEngine& engine) { engine.addImportPath(QStringLiteral("qrc:/")); }

}  // namespace sablix
