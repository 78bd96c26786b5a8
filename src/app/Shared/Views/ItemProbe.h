#pragma once
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class QQuickItem;
class QQuickWindow;
class QJsonArray;

namespace sablix {

// For end-to-end tests, which drive the application with real X events and need to know where
// its controls are: when the environment names a file under kVariable, every visible item with an
// object name, of the window and of the sheets shown over it, is written there a few times a
// second, with its rectangle on the screen, its text, whether it is enabled and whether a list or
// sheet holding it is still scrolling (a press there only stops the scroll). Otherwise, and
// always in a build without the probe (a release build), it does nothing.
class ItemProbe final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kVariable = "SABLIX_ITEM_PROBE";
    static constexpr int kIntervalMs = 200;

    // The window to describe, asked each time: it may be built anew, or be none.
    using CurrentWindow = std::function<QQuickWindow*()>;

    explicit ItemProbe(CurrentWindow window, QObject* parent = nullptr);

private:
    void write();
    static void collect(QQuickItem* item, bool moving, QJsonArray& items);

    CurrentWindow window_;
    QString path_;
    QTimer timer_;
};

}  // namespace sablix
