#pragma once
#include <QObject>
#include <QString>

#include "Models/Updates/Updater.h"

namespace sablix {

// The "Check for Updates…" command as the menu shows it: enabled exactly while the updater can
// check, and asking the updater for a check when chosen.
class CheckForUpdatesViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString title READ title CONSTANT)
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    static constexpr const char* kTitle = "Check for Updates…";

    explicit CheckForUpdatesViewModel(Updater& updater, QObject* parent = nullptr);

    QString title() const { return QString::fromUtf8(kTitle); }
    bool canCheckForUpdates() const { return canCheckForUpdates_; }
    Q_INVOKABLE void checkForUpdates();

signals:
    void canCheckForUpdatesChanged();

private:
    void setCanCheckForUpdates(bool canCheck);

    Updater& updater_;
    bool canCheckForUpdates_ = false;
};

}  // namespace sablix
