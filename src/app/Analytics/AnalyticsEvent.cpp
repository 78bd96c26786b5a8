#include "Analytics/AnalyticsEvent.h"

#include "platform/EnumTable.h"

namespace sablix {

const std::array<AnalyticsEvent, 18>& allAnalyticsEvents() {
    static constexpr std::array<AnalyticsEvent, 18> events{
        AnalyticsEvent::appLaunch,
        AnalyticsEvent::snippetCreate,
        AnalyticsEvent::snippetDelete,
        AnalyticsEvent::snippetExpand,
        AnalyticsEvent::aiGenerationStart,
        AnalyticsEvent::aiGenerationComplete,
        AnalyticsEvent::userSignIn,
        AnalyticsEvent::userSignOut,
        AnalyticsEvent::teamCreate,
        AnalyticsEvent::teamJoin,
        AnalyticsEvent::starterSnippetsSeeded,
        AnalyticsEvent::tutorialStarted,
        AnalyticsEvent::tutorialPracticeSuccess,
        AnalyticsEvent::tutorialCompleted,
        AnalyticsEvent::tutorialSkipped,
        AnalyticsEvent::referralCodeApplied,
        AnalyticsEvent::snippetImported,
        AnalyticsEvent::firstSnippetExpand,
    };
    return events;
}

namespace {

constexpr platform::EnumTable<AnalyticsEvent, 18> kAnalyticsEventTable{{
    {AnalyticsEvent::appLaunch, "app_launch"},
    {AnalyticsEvent::snippetCreate, "snippet_create"},
    {AnalyticsEvent::snippetDelete, "snippet_delete"},
    {AnalyticsEvent::snippetExpand, "snippet_expand"},
    {AnalyticsEvent::aiGenerationStart, "ai_generation_start"},
    {AnalyticsEvent::aiGenerationComplete, "ai_generation_complete"},
    {AnalyticsEvent::userSignIn, "user_sign_in"},
    {AnalyticsEvent::userSignOut, "user_sign_out"},
    {AnalyticsEvent::teamCreate, "team_create"},
    {AnalyticsEvent::teamJoin, "team_join"},
    {AnalyticsEvent::starterSnippetsSeeded, "starter_snippets_seeded"},
    {AnalyticsEvent::tutorialStarted, "tutorial_started"},
    {AnalyticsEvent::tutorialPracticeSuccess, "tutorial_practice_success"},
    {AnalyticsEvent::tutorialCompleted, "tutorial_completed"},
    {AnalyticsEvent::tutorialSkipped, "tutorial_skipped"},
    {AnalyticsEvent::referralCodeApplied, "referral_code_applied"},
    {AnalyticsEvent::snippetImported, "snippet_imported"},
    {AnalyticsEvent::firstSnippetExpand, "first_snippet_expand"},
}};

}  // namespace

std::string_view rawValue(AnalyticsEvent value) { return kAnalyticsEventTable.raw(value); }

std::optional<AnalyticsEvent> analyticsEventFromRaw(std::string_view raw) { return kAnalyticsEventTable.parse(raw); }

}  // namespace sablix
