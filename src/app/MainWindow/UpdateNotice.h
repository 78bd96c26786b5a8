#pragma once
#include <QObject>
#include <QString>
#include <functional>

namespace sablix {

class UpdateChecker;

// The notice at the foot of the main window that a newer version is out: shown while the update
// checker knows a newer version and the user has not closed it. Lives on the main thread.
class UpdateNotice final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool shown READ shown NOTIFY changed)
    Q_PROPERTY(QString text READ text NOTIFY changed)

public:
    // requestUpdate starts the check the user asked for, which offers the download.
    UpdateNotice(UpdateChecker& checker, std::function<void()> requestUpdate, QObject* parent = nullptr);

    bool shown() const;
    // "Sablix 2.1 is available", or why the update the user asked for did not start.
    QString text() const;
    // Why the update did not start; the notice says it until the user tries again.
    void showMessage(const QString& message);

    // The "Update" button.
    Q_INVOKABLE void update();
    // The close button: hidden for the rest of the process.
    Q_INVOKABLE void dismiss();

signals:
    void changed();

private:
    UpdateChecker& checker_;
    std::function<void()> requestUpdate_;
    QString message_;
};

}  // namespace sablix
