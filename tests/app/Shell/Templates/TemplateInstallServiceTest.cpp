#include <gtest/gtest.h>
#include <QCoro/QCoroTask>

#include "support/FakeAnalyticsTracking.h"
#include "Expansion/KeyBuffer.h"
#include "Expansion/TriggerCache.h"
#include "Shell/Templates/TemplateInstallService.h"
#include "Snippets/SnippetSettings.h"
#include "platform/Clock.h"
#include "platform/MemoryDefaults.h"
#include "platform/TextRules.h"
#include "servers/TestBackend.h"

using nlohmann::json;
using sablix::AppEnvironment;
using sablix::SnippetItem;
using sablix::TemplateInstallService;
using Outcome = TemplateInstallService::InstallOutcome;
using Events = std::vector<std::pair<std::string, json>>;

namespace {

json templateJson(const std::string& slug, const std::string& trigger, const std::string& content = "Body") {
    return {{"slug", slug}, {"title", "Title of " + slug}, {"trigger", trigger}, {"content", content}};
}

// The title of the snippet the engine expands first while ";" + title is typed key by key (an
// ASCII title: one key a byte).
std::string firstToFire(const std::vector<SnippetItem>& library, const std::string& title) {
    const sablix::TriggerCache cache(library);
    sablix::KeyBuffer buffer;
    for (const char key : ";" + title)
        if (const auto match = cache.match(platform::text::lowercased(buffer.append(std::string(1, key)))))
            return match->snippet.snippetTitle;
    return {};
}

// The service against a fresh test backend that serves both the backend and the web site, with a
// real library in a memory store and recording stand-ins for the engine, the views and analytics.
class TemplateInstallServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend_.start());
        defaults_.set(AppEnvironment::kBaseURLOverrideKey, backend_.baseURL());
        defaults_.set(AppEnvironment::kWebsiteBaseURLOverrideKey, backend_.baseURL());
        QObject::connect(&notifier_, &sablix::AppNotifier::snippetsChangedExternally, [this] { ++notifications_; });
    }

    void serve(json fixture) { backend_.reset(std::move(fixture)); }
    void addToLibrary(const std::string& title) {
        auto library = controller_.loadItems();
        ASSERT_TRUE(
            controller_.addItem(SnippetItem(platform::Uuid::generate(), title, "existing", {}, clock_), library));
    }
    std::vector<std::string> libraryTitles() const {
        std::vector<std::string> titles;
        for (const auto& item : controller_.loadItems()) titles.push_back(item.snippetTitle);
        return titles;
    }
    Outcome installTemplate(const std::string& slug) {
        return QCoro::waitFor(service_.installTemplate(slug, TemplateInstallService::kSourceDeepLink));
    }
    std::vector<std::string> requestedPaths() const {
        std::vector<std::string> paths;
        for (const auto& entry : backend_.log()) paths.push_back(entry.path);
        return paths;
    }

    testservers::TestBackend backend_;
    platform::MemoryDefaults defaults_;
    AppEnvironment environment_{AppEnvironment::Kind::development, &defaults_};
    sablix::APIClient client_{environment_};
    platform::FakeClock clock_;
    sablix::SnippetController controller_{defaults_, clock_};
    sablix::AppNotifier notifier_;
    testsupport::FakeAnalyticsTracking analytics_;
    int refreshes_ = 0;
    int notifications_ = 0;
    std::function<void()> refresh_ = [this] { ++refreshes_; };
    sablix::SnippetSettings settings_{defaults_};
    TemplateInstallService service_{controller_, settings_,  defaults_,
                                    client_,     clock_,     refresh_,
                                    notifier_,   analytics_, std::chrono::milliseconds(300)};
};

TEST_F(TemplateInstallServiceTest, InstallsATemplateUnderATriggerUniqueIgnoringCase) {
    addToLibrary("Email");
    serve({{"templates", {{"work-email", templateJson("work-email", "email", "Dear {clipboard},")}}}});

    EXPECT_EQ(installTemplate("work-email"), Outcome::installed("my-email"));
    const auto library = controller_.loadItems();
    ASSERT_EQ(library.size(), 2u);
    const SnippetItem& added = library.back();
    EXPECT_EQ(added.snippetTitle, "my-email");
    EXPECT_EQ(added.snippet, "Dear {clipboard},");
    EXPECT_EQ(added.tags, std::vector<std::string>{"prompt"});
    EXPECT_TRUE(added.isPersonal());
    EXPECT_EQ(requestedPaths(), std::vector<std::string>{"/api/templates/work-email"});
    EXPECT_EQ(backend_.log().front().method, "GET");
    EXPECT_EQ(refreshes_, 1);
    EXPECT_EQ(notifications_, 1);
    EXPECT_EQ(analytics_.events(),
              (Events{{"snippet_imported", {{"template_id", "work-email"}, {"source", "deep_link"}}}}));

    // The number counts on past every taken title, ahead of the trigger, which keeps its own case.
    const std::vector<SnippetItem> taken{SnippetItem(platform::Uuid::generate(), "email", "", {}, clock_),
                                         SnippetItem(platform::Uuid::generate(), "my-Email", "", {}, clock_)};
    const auto titleFor = [&](const std::string& trigger) {
        return sablix::firstAcceptedTitle(SnippetItem(platform::Uuid::generate(), trigger, "Body", {}, clock_), taken,
                                          settings_);
    };
    EXPECT_EQ(titleFor("Email"), "my2-Email");
    EXPECT_EQ(titleFor("Sig"), "Sig");

    // A pack installs in order, each template seeing the ones before it.
    serve({{"packs",
            {{"greetings",
              {{"category", "greetings"}, {"templates", {templateJson("hi", "hi"), templateJson("hey", "hi")}}}},
             {"empty", {{"category", "empty"}, {"templates", json::array()}}}}}});
    EXPECT_EQ(QCoro::waitFor(service_.installPack("empty", "deep_link")), 0);
    EXPECT_EQ(refreshes_, 1);
    EXPECT_EQ(QCoro::waitFor(service_.installPack("greetings", "deep_link")), 2);
    EXPECT_EQ(libraryTitles(), (std::vector<std::string>{"Email", "my-email", "hi", "my-hi"}));
    EXPECT_EQ(refreshes_, 3);
    EXPECT_EQ(notifications_, 3);
    EXPECT_EQ(analytics_.events().back().second["template_id"], "hey");
}

// A title that begins with a taken one, or that a later title begins with, would never expand.
TEST_F(TemplateInstallServiceTest, EveryInstalledTemplateExpandsUnderTheTitleItNames) {
    addToLibrary("sig");
    serve({{"templates", {{"signature", templateJson("signature", "sig")}}},
           {"packs",
            {{"home",
              {{"category", "home"},
               {"templates",
                {templateJson("addr", "addr"), templateJson("address", "address"), templateJson("hi", "hi"),
                 templateJson("hip", "hip")}}}}}}});

    const Outcome outcome = installTemplate("signature");
    ASSERT_TRUE(outcome.isInstalled());
    EXPECT_EQ(libraryTitles().back(), *outcome.trigger());
    // "hip" beside "hi": the editor lets titles this short share a beginning.
    EXPECT_EQ(QCoro::waitFor(service_.installPack("home", "deep_link")), 4);

    const auto library = controller_.loadItems();
    ASSERT_EQ(library.size(), 6u);
    for (const SnippetItem& snippet : library)
        EXPECT_EQ(firstToFire(library, snippet.snippetTitle), snippet.snippetTitle);
}

TEST_F(TemplateInstallServiceTest, AnyFailedFetchDecodeOrValidationInstallsNothing) {
    addToLibrary("abcdefghijklmnopqrst");  // the longest title the default settings allow
    json missingContent = templateJson("no-content", "nc");
    missingContent.erase("content");
    json numericTrigger = templateJson("numeric", "x");
    numericTrigger["trigger"] = 7;
    // clang-format off
    serve({{"templates", {{"no-content", missingContent}, {"numeric", numericTrigger}, {"null", nullptr},
                          {"empty-trigger", templateJson("empty-trigger", "")},
                          {"too-long", templateJson("too-long", "ABCDEFGHIJKLMNOPQRST")},
                          {"broken", templateJson("broken", "ok")}, {"slow", templateJson("slow", "ok")}}},
           {"packs", {{"bad-pack", {{"category", "bad-pack"}, {"templates", {templateJson("a", "a"), 3}}}}}}});
    // clang-format on
    // A failing status with a well-formed template must not be taken as one.
    backend_.fail("/api/templates/broken", 500, templateJson("broken", "ok").dump());
    backend_.delay("/api/templates/slow", 5'000);

    for (const char* slug : {"no-content", "numeric", "null", "empty-trigger", "too-long", "absent", "broken", "slow"})
        EXPECT_EQ(installTemplate(slug), Outcome::failed()) << slug;
    EXPECT_EQ(QCoro::waitFor(service_.installPack("bad-pack", "deep_link")), 0);
    EXPECT_EQ(QCoro::waitFor(service_.installPack("absent", "deep_link")), 0);

    // A library that cannot be saved refuses the template too.
    serve({{"templates", {{"fine", templateJson("fine", "fine")}}}});
    defaults_.setFailWrites(true);
    EXPECT_EQ(installTemplate("fine"), Outcome::failed());
    defaults_.setFailWrites(false);

    EXPECT_EQ(libraryTitles(), std::vector<std::string>{"abcdefghijklmnopqrst"});
    EXPECT_TRUE(refreshes_ == 0 && notifications_ == 0 && analytics_.events().empty());
}

TEST_F(TemplateInstallServiceTest, TheDeferredMatchIsTriedOnceAndCanNameAPack) {
    serve({{"pendingInstallMatch", {{"template_id", "pack:greetings"}}},
           {"packs", {{"greetings", {{"category", "greetings"}, {"templates", {templateJson("hi", "hi")}}}}}}});
    QCoro::waitFor(service_.checkPendingInstall());
    QCoro::waitFor(service_.checkPendingInstall());
    EXPECT_TRUE(defaults_.boolean(TemplateInstallService::kHasCheckedPendingInstallKey));
    EXPECT_EQ(libraryTitles(), std::vector<std::string>{"hi"});
    EXPECT_EQ(analytics_.events().at(0).second["source"], "deferred_deep_link");
    EXPECT_EQ(requestedPaths(),
              (std::vector<std::string>{"/api/pending-install/match", "/api/templates/packs/greetings"}));

    // Answers that name nothing install nothing, and still count as the one attempt.
    for (const json& fixture :
         {json{{"pendingInstallMatch", {{"template_id", nullptr}}}}, json{{"pendingInstallMatch", json::object()}},
          json{{"pendingInstallMatch", {{"template_id", 5}}}}, json::object()}) {
        defaults_.remove(TemplateInstallService::kHasCheckedPendingInstallKey);
        serve(fixture);
        QCoro::waitFor(service_.checkPendingInstall());
        EXPECT_EQ(requestedPaths(), std::vector<std::string>{"/api/pending-install/match"}) << fixture.dump();
        EXPECT_TRUE(defaults_.boolean(TemplateInstallService::kHasCheckedPendingInstallKey));
    }
    defaults_.remove(TemplateInstallService::kHasCheckedPendingInstallKey);
    serve({{"pendingInstallMatch", {{"template_id", "hi"}}}, {"templates", {{"hi", templateJson("hi", "x")}}}});
    backend_.fail("/api/pending-install/match", 204, "");
    QCoro::waitFor(service_.checkPendingInstall());
    EXPECT_EQ(requestedPaths(), std::vector<std::string>{"/api/pending-install/match"});
    EXPECT_EQ(libraryTitles(), std::vector<std::string>{"hi"});
}

TEST(TemplateInstallLinks, OnlyLowerCaseIdentifiersOfAtMost200CharactersPass) {
    const std::string longest(200, 'a');
    using Slugs = std::pair<std::optional<std::string>, std::optional<std::string>>;  // template, pack
    // clang-format off
    const std::vector<std::pair<std::string, Slugs>> links = {
        {"sablix://install/email-2", {"email-2", {}}}, {"sablix://install/gallery/sig", {"sig", {}}},
        {"sablix://install/" + longest, {longest, {}}}, {"sablix://install/" + longest + "a", {}},
        {"sablix://install-pack/support", {{}, "support"}}, {"sablix://install-pack/Support", {}},
        {"sablix://install/Email", {}}, {"sablix://install/", {}}, {"sablix://install", {}},
        {"sablix://install/a%20b", {}}, {"sablix://install/caf%C3%A9", {}}, {"sablix://other/email", {}},
        // An encoded "/" belongs to its segment, which is then no identifier.
        {"sablix://install/weekly%2Freport", {}}, {"sablix://install-pack/a%2Fsales", {}},
        {"sablix://install/weekly%2freport/", {}}, {"sablix://install/%65mail", {"email", {}}}};
    // clang-format on
    for (const auto& [link, slugs] : links) {
        const QUrl url(QString::fromStdString(link));
        EXPECT_EQ(Slugs(TemplateInstallService::installSlug(url), TemplateInstallService::packCategory(url)), slugs)
            << link;
    }
}

}  // namespace
