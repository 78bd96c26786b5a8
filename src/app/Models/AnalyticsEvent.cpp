#include "Models/AnalyticsEvent.h"

namespace sablix {

const std::array<AnalyticsEvent, 18>& allAnalyticsEvents() {
    static constexpr std::array<AnalyticsEvent, 18> events{
        AnalyticsEvent::appLaunch,           AnalyticsEvent::snippetCreate,
        AnalyticsEvent::snippetDelete,       AnalyticsEvent::snippetExpand,
        AnalyticsEvent::aiGenerationStart,   AnalyticsEvent::aiGenerationComplete,
        AnalyticsEvent::userSignIn,          AnalyticsEvent::userSignOut,
        AnalyticsEvent::teamCreate,          AnalyticsEvent::teamJoin,
        AnalyticsEvent::starterSnippetsSeeded, AnalyticsEvent::tutorialStarted,
        AnalyticsEvent::tutorialPracticeSuccess, AnalyticsEvent::tutorialCompleted,
        AnalyticsEvent::tutorialSkipped,     AnalyticsEvent::referralCodeApplied,
        AnalyticsEvent::snippetImported,     AnalyticsEvent::firstSnippetExpand,
    };
    return events;
}

std::string_view rawValue(AnalyticsEvent event) {
    switch (event) {
    case AnalyticsEvent::appLaunch: return "app_launch";
    case AnalyticsEvent::snippetCreate: return "snippet_create";
    case AnalyticsEvent::snippetDelete: return "snippet_delete";
    case AnalyticsEvent::snippetExpand: return "snippet_expand";
    case AnalyticsEvent::aiGenerationStart: return "ai_generation_start";
    case AnalyticsEvent::aiGenerationComplete: return "ai_generation_complete";
    case AnalyticsEvent::userSignIn: return "user_sign_in";
    case AnalyticsEvent::userSignOut: return "user_sign_out";
    case AnalyticsEvent::teamCreate: return "team_create";
    case AnalyticsEvent::teamJoin: return "team_join";
    case AnalyticsEvent::starterSnippetsSeeded: return "starter_snippets_seeded";
    case AnalyticsEvent::tutorialStarted: return "tutorial_started";
    case AnalyticsEvent::tutorialPracticeSuccess: return "tutorial_practice_success";
    case AnalyticsEvent::tutorialCompleted: return "tutorial_completed";
    case AnalyticsEvent::tutorialSkipped: return "tutorial_skipped";
    case AnalyticsEvent::referralCodeApplied: return "referral_code_applied";
    case AnalyticsEvent::snippetImported: return "snippet_imported";
    case AnalyticsEvent::firstSnippetExpand: return "first_snippet_expand";
    }
    return {};
}

std::optional<AnalyticsEvent> analyticsEventFromRaw(std::string_view raw) {
    for (AnalyticsEvent event : allAnalyticsEvents())
        if (rawValue(event) == raw) return event;
    return std::nullopt;
}

}  // namespace sablix
