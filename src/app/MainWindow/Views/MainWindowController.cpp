#include "MainWindow/Views/MainWindowController.h"

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>

#include "platform/Log.h"
#include "Shared/Views/ViewModule.h"

namespace sablix {

namespace {
const QUrl kWindowSource(QStringLiteral("qrc:/Sablix/MainWindow/Views/MainWindow.qml"));
}

MainWindowController::MainWindowController(desktop::Workspace& workspace, QVariantMap initialProperties,
                                           QObject* parent)
    : QObject(parent), workspace_(workspace), engine_(std::make_unique<QQmlEngine>()) {
    // Qt.quit() in the window's QML.
    connect(engine_.get(), &QQmlEngine::quit, this, &MainWindowController::quitRequested);
    findViewModule(*engine_);
    QQmlComponent component(engine_.get(), kWindowSource);
    // Qt 6.4 crashes creating from a component that failed to load.
    std::unique_ptr<QObject> created(component.isReady() ? component.createWithInitialProperties(initialProperties)
                                                         : nullptr);
    if (auto* window = qobject_cast<QQuickWindow*>(created.get())) {
        created.release();
        window_.reset(window);
        return;
    }
    platform::appLog("MainWindow")
        .error("The main window could not be loaded: %s", component.errorString().toUtf8().constData());
}

MainWindowController::~MainWindowController() {
    // The window's bindings reach into the engine: it goes first.
    window_.reset();
}

void MainWindowController::showAndActivate() { bringForward(window_.get()); }

void MainWindowController::bringForward(QWindow* window) {
    if (!window) return;
    if (!window->isVisible()) {
        // A window being mapped gets the focus from the window manager.
        window->show();
        window->raise();
        window->requestActivate();
        return;
    }
    window->raise();
    if (!workspace_.activate({QCoreApplication::applicationPid(), {}, static_cast<uint64_t>(window->winId())}))
        window->requestActivate();
}

void MainWindowController::toggleApplication() {
    // The desktop's own answer: Qt may not have heard yet that another window took the focus.
    const auto frontmost = workspace_.frontmostApplication();
    const bool active = frontmost ? frontmost->processIdentifier == QCoreApplication::applicationPid()
                                  : QGuiApplication::applicationState() == Qt::ApplicationActive;
    if (active) {
        hideApplication();
        return;
    }
    // The window that had the focus last, or else the main window.
    QWindow* target = QGuiApplication::focusWindow();
    if (!target || !target->isVisible()) target = window_.get();
    bringForward(target);
}

void MainWindowController::hideApplication() {
    for (QWindow* window : QGuiApplication::topLevelWindows())
        if (window->isVisible()) window->hide();
}

}  // namespace sablix
