#pragma once
#include <QObject>

#include "platform/Defaults.h"

namespace sablix {

class AnalyticsTracking;
class AppNotifier;

// Whether the first-run tutorial is due, and its ending and replay. Holds no state of its own:
// everything lives in two flags of the defaults store, an absent flag reading as false. Lives on
// the main thread.
class TutorialManager final : public QObject {
    Q_OBJECT

public:
    // The user finished or skipped the tutorial.
    static constexpr const char* kHasCompletedTutorialKey = "has_completed_tutorial";
    // The user moved on from the first-run welcome (the main window also sets it when a snippet
    // is selected).
    static constexpr const char* kHasDismissedWelcomeKey = "has_dismissed_welcome";

    TutorialManager(platform::Defaults& userDefaults, AnalyticsTracking& analytics, AppNotifier& notifier,
                    QObject* parent = nullptr);

    // Whether a fresh detail column starts with the tutorial.
    bool shouldShowTutorial() const;

    // Makes the tutorial due again and asks the main window to show it at once.
    Q_INVOKABLE void resetTutorial();
    Q_INVOKABLE void skipTutorial();
    Q_INVOKABLE void completeTutorial();

private:
    void finish(bool skipped);

    platform::Defaults& userDefaults_;
    AnalyticsTracking& analytics_;
    AppNotifier& notifier_;
};

}  // namespace sablix
