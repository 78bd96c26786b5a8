#pragma once
#include <QObject>
#include <QVariantMap>
#include <memory>

#include "desktop/Workspace.h"

class QQmlEngine;
class QQuickWindow;
class QWindow;

namespace sablix {

// The application's one main window: loads it, shows it, and brings it forward or hides the
// application when the global hot key asks. Closing the window hides it; the application keeps
// running. Lives on the main thread.
class MainWindowController final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kTitle = "Sablix";
    static constexpr const char* kObjectName = "main";

    // initialProperties are set on the window as it is created: the objects its content and
    // menu work with (the update command's model under "updates", the version text under
    // "appVersion", and whatever the content needs).
    // The workspace brings an already visible window forward, which window managers refuse to
    // do for an application that asks for itself.
    MainWindowController(desktop::Workspace& workspace, QVariantMap initialProperties, QObject* parent = nullptr);
    ~MainWindowController() override;

    // The window, or null when it could not be loaded (the reason is in the log).
    QQuickWindow* window() const { return window_.get(); }

    void showAndActivate();
    // In the background: brings the window forward. In front: hides every window of the
    // application.
    void toggleApplication();
    void hideApplication();

signals:
    // The user chose to quit from the window's menu.
    void quitRequested();

private:
    void bringForward(QWindow* window);

    desktop::Workspace& workspace_;
    std::unique_ptr<QQmlEngine> engine_;
    std::unique_ptr<QQuickWindow> window_;
};

}  // namespace sablix
