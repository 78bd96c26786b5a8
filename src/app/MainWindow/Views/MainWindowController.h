#pragma once
#include <QObject>
#include <QRect>
#include <QVariantMap>
#include <memory>
#include <optional>

#include "desktop/Workspace.h"

class QQmlEngine;
class QQuickWindow;
class QWindow;

namespace sablix {

// The application's one main window: builds it, shows it, and brings it forward or hides the
// application when the global hot key asks. Closing the window hides it; the application keeps
// running. The window and its scene exist only while it is shown: a hidden window is released
// (its engine and everything it drew with), and showing it builds it again from the models,
// which hold every state it shows; where the user left it and how large, the controller keeps for
// the next one. Lives on the main thread.
class MainWindowController final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kTitle = "Sablix";
    static constexpr const char* kObjectName = "main";

    // initialProperties are set on the window each time it is built: the objects its content and
    // menu work with (the update command's model under "updates", the version text under
    // "appVersion", and whatever the content needs).
    // The workspace brings an already visible window forward, which window managers refuse to
    // do for an application that asks for itself.
    MainWindowController(desktop::Workspace& workspace, QVariantMap initialProperties, QObject* parent = nullptr);
    ~MainWindowController() override;

    // The window while it is built, otherwise null; null too when it could not be loaded (the
    // reason is in the log).
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
    // The window, built if it is not; null when it cannot be loaded.
    QQuickWindow* build();
    // Drops the window and its engine if the window is still hidden.
    void releaseIfHidden();
    void bringForward(QWindow* window);

    desktop::Workspace& workspace_;
    QVariantMap initialProperties_;
    std::unique_ptr<QQmlEngine> engine_;
    std::unique_ptr<QQuickWindow> window_;
    // The last window's place and size as it was hidden; none before the first hide.
    std::optional<QRect> geometry_;
};

}  // namespace sablix
