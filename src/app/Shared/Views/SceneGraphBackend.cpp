#include "Shared/Views/SceneGraphBackend.h"

#include <QQuickWindow>
#include <QSGRendererInterface>

namespace sablix {

void chooseSceneGraphBackend() {
    // The application lives mostly in the background with its window closed. The views use no
    // shader effects or layers, so they draw the same in software; the OpenGL path would load the
    // Mesa driver (about 70 MB resident) on the first window and keep it mapped for the life of
    // the process, even after the scene is released.
    if (!qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND")) return;
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

}  // namespace sablix
