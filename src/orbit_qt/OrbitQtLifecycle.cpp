#include "orbit_qt/OrbitQtLifecycle.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include "orbit/DI.h"
#include "orbit/OrbitSDK.h"

namespace orbitqt {

OrbitQtLifecycle::OrbitQtLifecycle(QGuiApplication& application, std::weak_ptr<orbit::OrbitSDK> client,
                                   orbit::AppLifecyclePublishing* publisher)
    : QObject(&application),
      application_(application),
      client_(std::move(client)),
      publisher_(publisher ? *publisher : orbit::DI::main().appLifecyclePublisher()) {
    connect(&application, &QGuiApplication::applicationStateChanged, this, &OrbitQtLifecycle::applicationStateChanged);
    connect(&application, &QGuiApplication::focusWindowChanged, this, &OrbitQtLifecycle::focusWindowChanged);
    // A zero timer fires once the event loop runs: the launch is finished.
    QTimer::singleShot(0, this, [this] { publisher_.onDidFinishLaunching.invoke({}); });
    focusWindowChanged(QGuiApplication::focusWindow());
    if (QGuiApplication::applicationState() == Qt::ApplicationActive) applicationStateChanged(Qt::ApplicationActive);
}

void OrbitQtLifecycle::applicationStateChanged(Qt::ApplicationState state) {
    const bool active = state == Qt::ApplicationActive;
    if (active == active_) return;
    active_ = active;
    if (active) {
        reportScreenSize();
        publisher_.onDidBecomeActive.invoke({});
    } else {
        publisher_.onDidEnterBackground.invoke({});
    }
}

void OrbitQtLifecycle::focusWindowChanged(QWindow* window) {
    if (watched_ != window) {
        disconnect(screenChanged_);
        watched_ = window;
        if (window) screenChanged_ = connect(window, &QWindow::screenChanged, this, [this] { reportScreenSize(); });
    }
    reportScreenSize();
}

void OrbitQtLifecycle::reportScreenSize() {
    const auto client = client_.lock();
    if (!client) return;
    const QWindow* window = QGuiApplication::focusWindow();
    const QScreen* screen = window ? window->screen() : nullptr;
    if (!screen) return client->setScreenSize(std::nullopt);
    const auto size = screen->size();  // device-independent pixels
    client->setScreenSize(
        orbit::OrbitScreenSize{static_cast<double>(size.width()), static_cast<double>(size.height())});
}

}  // namespace orbitqt
