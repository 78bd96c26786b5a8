#pragma once
#include <QObject>
#include <QString>

#include "Shell/Updates/Updater.h"

namespace sablix {

class UpdateChecker;

// The notice at the foot of the main window that a newer version is out: shown while the update
// checker knows a newer version and the user has not closed it, until a later check of the updater
// finds nothing newer. Lives on the main thread.
class UpdateNotice final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool shown READ shown NOTIFY changed)
    Q_PROPERTY(QString text READ text NOTIFY changed)

public:
    // The updater runs the check the user asks for, which offers the download.
    UpdateNotice(UpdateChecker& checker, Updater& updater, QObject* parent = nullptr);

    bool shown() const;
    // "Sablix 2.1 is available", or why the update the user asked for did not start.
    QString text() const;

    // The "Update" button.
    Q_INVOKABLE void update();
    // The close button: hidden for the rest of the process.
    Q_INVOKABLE void dismiss();

signals:
    void changed();

private:
    // Why the update did not start; the notice says it until the user tries again or a check goes through.
    void showMessage(const QString& message);
    void checkFinished(Updater::CheckResult result);

    UpdateChecker& checker_;
    Updater& updater_;
    QString message_;
    // The last check that went through found nothing newer.
    bool upToDate_ = false;
};

}  // namespace sablix
