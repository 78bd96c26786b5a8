#pragma once
#include <array>
#include <optional>
#include <string_view>

namespace sablix {

// The application's usage events; rawValue is the name sent to the analytics service.
enum class AnalyticsEvent {
    appLaunch,
    snippetCreate,
    snippetDelete,
    snippetExpand,
    aiGenerationStart,
    aiGenerationComplete,
    userSignIn,
    userSignOut,
    teamCreate,
    teamJoin,
    starterSnippetsSeeded,
    tutorialStarted,
    tutorialPracticeSuccess,
    tutorialCompleted,
    tutorialSkipped,
    referralCodeApplied,
    snippetImported,
    firstSnippetExpand,
};

std::string_view rawValue(AnalyticsEvent event);
std::optional<AnalyticsEvent> analyticsEventFromRaw(std::string_view raw);

// Every event, in declaration order.
const std::array<AnalyticsEvent, 18>& allAnalyticsEvents();

}  // namespace sablix
