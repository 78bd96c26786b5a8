#pragma once
#include <chrono>
#include <optional>
#include <string>

#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QCoro/QCoroTask>

#include "Networking/APIClient.h"
#include "Networking/RequestStep.h"
#include "desktop/Workspace.h"
#include "platform/Log.h"

namespace sablix {

// Finds newer releases in the update feed and hands their download to the browser: checks on a
// timer once started, and whenever the user asks. Lives on the main thread.
class Updater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    static constexpr std::chrono::seconds kDefaultUpdateCheckInterval{14'400};
    static constexpr const char* kUnreadableFeedReason = "the update feed names no release that can be read";
    // A download the feed names at a file, a program or anything but a web page is never opened.
    static constexpr const char* kNotWebAddressMessage = "The download address is not a web address.";

    enum class CheckResult { updateAvailable, upToDate, failed };
    Q_ENUM(CheckResult)

    Updater(APIClient& client, desktop::Workspace& workspace, QUrl appcastURL, std::optional<std::string> appVersion,
            QObject* parent = nullptr);

    void setAutomaticallyChecksForUpdates(bool automatic);
    bool automaticallyChecksForUpdates() const { return automatic_; }
    void setUpdateCheckInterval(std::chrono::seconds interval);
    std::chrono::seconds updateCheckInterval() const { return interval_; }

    // Begins the automatic checks; no check is possible before.
    void startUpdater();
    // True once started and while no check is under way.
    bool canCheckForUpdates() const { return started_ && !checking_; }
    // A check the user asked for: a newer release is opened in the browser. Starts it and
    // returns at once; ignored while a check is not possible.
    void checkForUpdates();
    // One check, for a caller that waits for its result. Only a user-initiated check opens
    // the download; an automatic one reports it through updateFound. While another check is
    // under way it does nothing and answers failed. A download address that is not https (or http
    // in development) is refused: the check fails with kNotWebAddressMessage.
    QCoro::Task<CheckResult> check(bool userInitiated);

signals:
    void canCheckForUpdatesChanged(bool canCheck);
    void updateFound(const QString& version, const QString& downloadURL);
    // A check the user asked for found a newer version whose download it will not open, and why.
    void downloadRefused(const QString& message);
    // A check the user asked for found a newer version, and no browser could be opened for its download.
    void downloadNotOpened(const QString& downloadURL);
    // With a failed check, why it failed in words a user can read; empty otherwise.
    void checkFinished(sablix::Updater::CheckResult result, bool userInitiated, const QString& failureReason);

private:
    void setChecking(bool checking);
    void armTimer();
    bool isWebAddress(const std::string& address) const;

    RequestStep requests_;
    desktop::Workspace& workspace_;
    const QUrl appcastURL_;
    const std::string appVersion_;
    const bool allowsPlainHttp_;
    bool automatic_ = true;
    std::chrono::seconds interval_ = kDefaultUpdateCheckInterval;
    bool started_ = false;
    bool checking_ = false;
    QTimer timer_;
    platform::Log logger_ = platform::appLog("Updater");
};

}  // namespace sablix
