#include "Tutorial/TutorialManager.h"

#include "Analytics/AnalyticsTracking.h"
#include "Shell/AppNotifier.h"

namespace sablix {

TutorialManager::TutorialManager(platform::Defaults& userDefaults, AnalyticsTracking& analytics, AppNotifier& notifier,
                                 QObject* parent)
    : QObject(parent), userDefaults_(userDefaults), analytics_(analytics), notifier_(notifier) {}

bool TutorialManager::shouldShowTutorial() const {
    if (userDefaults_.boolean(kHasCompletedTutorialKey)) return false;
    return !userDefaults_.boolean(kHasDismissedWelcomeKey);
}

void TutorialManager::resetTutorial() {
    userDefaults_.set(kHasCompletedTutorialKey, false);
    userDefaults_.set(kHasDismissedWelcomeKey, false);
    notifier_.postReplayTutorial();
}

void TutorialManager::skipTutorial() { finish(true); }

void TutorialManager::completeTutorial() { finish(false); }

void TutorialManager::finish(bool skipped) {
    userDefaults_.set(kHasCompletedTutorialKey, true);
    userDefaults_.set(kHasDismissedWelcomeKey, true);
    analytics_.track(skipped ? AnalyticsEvent::tutorialSkipped : AnalyticsEvent::tutorialCompleted);
}

}  // namespace sablix
