#include "MainWindow/Views/MainWindowController.h"

#include <malloc.h>

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>

#include "platform/Log.h"
#include "posix/FilePages.h"
#include "Shared/Views/ViewModule.h"

namespace sablix {

namespace {
const QUrl kWindowSource(QStringLiteral("qrc:/Sablix/MainWindow/Views/MainWindow.qml"));
}

MainWindowController::MainWindowController(desktop::Workspace& workspace, QVariantMap initialProperties,
                                           QObject* parent)
    : QObject(parent), workspace_(workspace), initialProperties_(std::move(initialProperties)) {}

MainWindowController::~MainWindowController() {
    // The window's bindings reach into the engine: it goes first.
    window_.reset();
}

QQuickWindow* MainWindowController::build() {
    if (window_) return window_.get();
    auto engine = std::make_unique<QQmlEngine>();
    // Qt.quit() in the window's QML.
    connect(engine.get(), &QQmlEngine::quit, this, &MainWindowController::quitRequested);
    findViewModule(*engine);
    QQmlComponent component(engine.get(), kWindowSource);
    // Qt 6.4 crashes creating from a component that failed to load.
    std::unique_ptr<QObject> created(component.isReady() ? component.createWithInitialProperties(initialProperties_)
                                                         : nullptr);
    auto* window = qobject_cast<QQuickWindow*>(created.get());
    if (!window) {
        platform::appLog("MainWindow")
            .error("The main window could not be loaded: %s", component.errorString().toUtf8().constData());
        return nullptr;
    }
    created.release();
    engine_ = std::move(engine);
    window_.reset(window);
    // A new X window each time: without this it would open where the window manager puts a new
    // one, at the default size.
    if (geometry_) window->setGeometry(*geometry_);
    // Closed by the user or hidden with the application: released once this turn of the event
    // loop is over, never inside the window's own signal.
    connect(window, &QWindow::visibleChanged, this, [this, window](bool visible) {
        if (visible) return;
        geometry_ = window->geometry();
        QMetaObject::invokeMethod(this, &MainWindowController::releaseIfHidden, Qt::QueuedConnection);
    });
    return window;
}

void MainWindowController::releaseIfHidden() {
    if (!window_ || window_->isVisible()) return;
    window_.reset();
    engine_.reset();
    // The code and read-only data of Qt Quick, the QML engine, the style and the fonts stay
    // resident after their use, about half of the process. They are copies of files: unmapped,
    // they wait in the page cache and come back at a minor fault when the window is shown again.
    if (const auto released = posix::releaseFilePages(); !released)
        platform::appLog("MainWindow").error("Library pages not released: %s", released.message().c_str());
    // The scene leaves many small blocks free across the heap; without this the allocator keeps
    // their pages, and the process keeps its size.
    malloc_trim(0);
}

void MainWindowController::showAndActivate() { bringForward(build()); }

void MainWindowController::bringForward(QWindow* window) {
    if (!window) return;
    if (!window->isVisible()) {
        window->show();
        window->raise();
        // A window manager gives the window the focus as it maps it. Asking as well would be
        // heard only once the event loop takes in the map, which on a busy machine comes after
        // the user may have clicked into another window, and would take the focus from it there.
        // Without a window manager nobody else gives the focus.
        if (!workspace_.hasWindowManager()) window->requestActivate();
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
    if (!target || !target->isVisible()) target = build();
    bringForward(target);
}

void MainWindowController::hideApplication() {
    for (QWindow* window : QGuiApplication::topLevelWindows())
        if (window->isVisible()) window->hide();
}

}  // namespace sablix
