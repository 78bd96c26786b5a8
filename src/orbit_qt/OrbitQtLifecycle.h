#pragma once
#include <memory>

#include <QObject>
#include <QPointer>

class QGuiApplication;
class QWindow;

namespace orbit {
class AppLifecyclePublishing;
class OrbitSDK;
}  // namespace orbit

namespace orbitqt {

// Tells the analytics client what the Qt application goes through, on the GUI thread: finishing
// its launch once the event loop runs, becoming active and leaving the active state (which the
// client calls entering the background), and the logical size of the focused window's screen.
class OrbitQtLifecycle final : public QObject {
    Q_OBJECT
public:
    // The publisher defaults to the process-wide one; the client only gets the screen size.
    OrbitQtLifecycle(QGuiApplication& application, std::weak_ptr<orbit::OrbitSDK> client,
                     orbit::AppLifecyclePublishing* publisher = nullptr);

private:
    void applicationStateChanged(Qt::ApplicationState state);
    void focusWindowChanged(QWindow* window);
    void reportScreenSize();

    QGuiApplication& application_;
    const std::weak_ptr<orbit::OrbitSDK> client_;
    orbit::AppLifecyclePublishing& publisher_;
    bool active_ = false;
    QPointer<QWindow> watched_;
    QMetaObject::Connection screenChanged_;
};

}  // namespace orbitqt
