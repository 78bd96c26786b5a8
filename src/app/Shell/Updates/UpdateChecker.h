#pragma once
#include <optional>
#include <string>

#include <QObject>
#include <QString>
#include <QUrl>
#include <QCoro/QCoroTask>

#include "Networking/APIClient.h"
#include "Networking/RequestStep.h"
#include "platform/Log.h"

namespace sablix {

// A light check of the update feed, once per launch, so that the main window can offer a newer
// version. Lives on the main thread.
class UpdateChecker : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString availableVersion READ availableVersionText NOTIFY availableVersionChanged)
    Q_PROPERTY(bool dismissed READ dismissed WRITE setDismissed NOTIFY dismissedChanged)
    Q_PROPERTY(bool hasUpdate READ hasUpdate NOTIFY hasUpdateChanged)

public:
    // The running version when the application carries none.
    static constexpr const char* kUnknownAppVersion = "0";

    // appVersion: the application's short version string, when it has one.
    UpdateChecker(APIClient& client, QUrl appcastURL, std::optional<std::string> appVersion, QObject* parent = nullptr);

    // Starts the check and returns at once.
    void checkForUpdate();
    // The same check, for a caller that waits for its end.
    QCoro::Task<> check();

    const std::optional<std::string>& availableVersion() const { return availableVersion_; }
    QString availableVersionText() const { return QString::fromStdString(availableVersion_.value_or("")); }
    bool dismissed() const { return dismissed_; }
    void setDismissed(bool dismissed);
    bool hasUpdate() const;
    const QUrl& appcastURL() const { return appcastURL_; }

signals:
    void availableVersionChanged();
    void dismissedChanged();
    void hasUpdateChanged();

private:
    RequestStep requests_;
    const QUrl appcastURL_;
    const std::string appVersion_;
    std::optional<std::string> availableVersion_;
    bool dismissed_ = false;
    platform::Log logger_ = platform::appLog("UpdateChecker");
};

}  // namespace sablix
