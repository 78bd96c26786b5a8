#include <QSignalSpy>
#include <deque>
#include <gtest/gtest.h>

#include "Snippets/SnippetController.h"
#include "Snippets/SnippetSettings.h"
#include "Shell/AppNotifier.h"
#include "Tutorial/TutorialManager.h"
#include "Tutorial/TutorialPresenter.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeAnalyticsTracking.h"

using sablix::SnippetItem;
using sablix::TutorialManager;
using sablix::TutorialPresenter;
using sablix::TutorialStep;

namespace {

// The main queue, run by hand: the delayed step of an expansion waits until the test lets it run.
class ManualQueue final : public platform::Executor {
public:
    void async(platform::Task task) override { asyncAfter({}, std::move(task)); }
    void asyncAfter(std::chrono::milliseconds, platform::Task task) override { tasks.push_back(std::move(task)); }
    void runAll() {
        while (!tasks.empty()) {
            auto task = std::move(tasks.front());
            tasks.pop_front();
            task();
        }
    }
    std::deque<platform::Task> tasks;
};

const char* const kKeys[] = {TutorialManager::kHasCompletedTutorialKey, TutorialManager::kHasDismissedWelcomeKey};

// The tutorial's two keys as "completed/dismissed", each "1", "0" or "-" while absent.
std::string keysOf(const platform::Defaults& store) {
    std::string out;
    for (const char* key : kKeys)
        out += (out.empty() ? "" : "/") + std::string(!store.contains(key) ? "-" : store.boolean(key) ? "1" : "0");
    return out;
}

using Strings = std::vector<std::string>;

class TutorialTest : public ::testing::Test {
protected:
    Strings eventsSince(size_t count) const {
        const Strings names = analytics.names();
        return Strings(names.begin() + static_cast<long>(count), names.end());
    }
    void storeLibrary(const std::vector<std::pair<std::string, std::string>>& snippets) {
        std::vector<SnippetItem> items;
        for (const auto& [title, content] : snippets)
            items.emplace_back(platform::Uuid::generate(), title, content, std::vector<std::string>{}, clock);
        ASSERT_TRUE(sablix::SnippetController(defaults, clock).saveItems(items));
    }

    platform::MemoryDefaults defaults;
    platform::FakeClock clock;
    testsupport::FakeAnalyticsTracking analytics;
    sablix::AppNotifier notifier;
    TutorialManager manager{defaults, analytics, notifier};
    ManualQueue mainQueue;
    sablix::SnippetSettings settings{defaults};
    TutorialPresenter model{{manager, defaults, analytics, mainQueue, clock, settings}};
};

TEST_F(TutorialTest, ManagerDecidesFromBothKeys) {
    for (const auto& [stored, shows] : std::vector<std::pair<std::string, bool>>{
             {"-/-", true}, {"1/0", false}, {"1/-", false}, {"0/1", false}, {"-/1", false}, {"0/0", true}}) {
        platform::MemoryDefaults store;
        for (size_t i = 0; i < 2; ++i)
            if (stored[2 * i] != '-') store.set(kKeys[i], stored[2 * i] == '1');
        EXPECT_EQ(TutorialManager(store, analytics, notifier).shouldShowTutorial(), shows) << stored;
    }
}

// Each case types its texts one change after another into the practice field of a fresh tutorial,
// then lets any delayed step run.
TEST_F(TutorialTest, PracticeCheckHintsAndExpandsByTheLibraryThenTheBuiltInTrigger) {
    const std::string address = TutorialPresenter::kSampleAddress;
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> library;
        Strings typed;
        std::string hint;         // triggerProgress after the last change, before any delayed step
        std::string text;         // the practice text at the end
        size_t successes = 0;     // delayed steps run, each recording its success
        bool runBetween = false;  // each delayed step runs before the next change
    };
    const Case cases[] = {
        {"built-in trigger", {}, {";", ";a", ";ad", ";add", ";addr"}, "", address, 1},
        {"library first", {{"addr", "Flat 2"}}, {";addr"}, "", "Flat 2", 1},
        {"any case", {{"Sig", "Regards"}}, {"hello ;SIG"}, "", "hello Regards", 1},
        {"anywhere in the text", {{"sig", "Regards"}}, {"hello;sig"}, "", "helloRegards", 1},
        {"first occurrence", {{"sig", "R"}}, {";sig ;sig"}, "", "R ;sig", 1},
        {"partial", {{"sig", "R"}}, {";si"}, ";sig", ";si", 0},
        {"partial, as stored", {{"Sig", "R"}}, {";s"}, ";Sig", ";s", 0},
        {"partial, built in", {}, {";ad"}, ";addr", ";ad", 0},
        {"not a trigger", {}, {";x"}, "", ";x", 0},
        {"ends in a space", {}, {";ad "}, "", ";ad ", 0},
        {"ends in a line feed", {}, {";ad\n"}, "", ";ad\n", 0},
        {"a tab is no separator", {}, {"x\t;ad"}, "", "x\t;ad", 0},
        {"word after a line feed", {}, {"x\n;ad"}, ";addr", "x\n;ad", 0},
        {"the word must start the trigger", {{"sig", "R"}}, {"hello;si"}, "", "hello;si", 0},
        {"first in library order", {{"signoff", "S"}, {"sig", "R"}}, {";s"}, ";signoff", ";s", 0},
        {"lone semicolon", {{"tyvm", "T"}}, {"hi ;"}, ";tyvm", "hi ;", 0},
        {"lone semicolon, empty library", {}, {";"}, ";addr", ";", 0},
        {"hint cleared", {}, {";ad", ";adx"}, "", ";adx", 0},
        // A hand-edited snippet without a title must not fire on every ";".
        {"empty title skipped", {{"", "Oops"}}, {";"}, ";addr", ";", 0},
        {"empty title skipped, then built in", {{"", "Oops"}}, {"a;addr"}, "", "a" + address, 1},
        // A change before the delayed step ran is checked again; the last step's text stays.
        {"two complete triggers", {}, {";addr", ";addrs"}, "", address + "s", 2},
        {"nothing after the expansion", {}, {";addr", "x", ";addr"}, "", ";addr", 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        storeLibrary(c.library);
        TutorialPresenter fresh{{manager, defaults, analytics, mainQueue, clock, settings}};
        const size_t before = analytics.names().size();
        for (const std::string& text : c.typed) {
            fresh.setPracticeText(QString::fromStdString(text));
            if (c.runBetween) mainQueue.runAll();
        }
        EXPECT_EQ(fresh.triggerProgress().toStdString(), c.hint);
        if (!c.runBetween) {
            EXPECT_FALSE(fresh.hasExpanded()) << "only the delayed step expands";
        }
        mainQueue.runAll();
        EXPECT_EQ(fresh.practiceText().toStdString(), c.text);
        EXPECT_EQ(fresh.hasExpanded() && fresh.showSuccess(), c.successes > 0);
        if (c.successes > 0) {
            EXPECT_TRUE(fresh.triggerProgress().isEmpty());
        }
        EXPECT_EQ(eventsSince(before), Strings(c.successes, "tutorial_practice_success"));
    }
}

TEST_F(TutorialTest, StepsMoveOnlyAlongTheirTransitionsAndEndThroughTheHost) {
    using Action = void (TutorialPresenter::*)();
    enum class Ending { none, completed, created };
    struct Case {
        const char* name;
        TutorialStep from;
        bool expanded;
        Action action;
        TutorialStep to;
        Ending ending;
        Strings events;  // recorded by the action
    };
    using S = TutorialStep;
    // clang-format off
    const Case cases[] = {
        {"Get Started",               S::welcome,  false, &TutorialPresenter::getStarted,       S::practice, Ending::none,      {"tutorial_started"}},
        {"Skip",                      S::welcome,  false, &TutorialPresenter::skip,             S::welcome,  Ending::completed, {"tutorial_skipped"}},
        {"no Next from the welcome",  S::welcome,  false, &TutorialPresenter::next,             S::welcome,  Ending::none,      {}},
        {"Back",                      S::practice, true,  &TutorialPresenter::back,             S::welcome,  Ending::none,      {}},
        {"Next before an expansion",  S::practice, false, &TutorialPresenter::next,             S::practice, Ending::none,      {}},
        {"Next",                      S::practice, true,  &TutorialPresenter::next,             S::complete, Ending::none,      {}},
        {"no Done from the practice", S::practice, true,  &TutorialPresenter::done,             S::practice, Ending::none,      {}},
        {"Start from scratch",        S::complete, true,  &TutorialPresenter::startFromScratch, S::complete, Ending::created,   {"tutorial_completed"}},
        {"Done",                      S::complete, true,  &TutorialPresenter::done,             S::complete, Ending::completed, {"tutorial_completed"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::MemoryDefaults store;
        TutorialManager fresh{store, analytics, notifier};
        TutorialPresenter tutorial{{fresh, store, analytics, mainQueue, clock, settings}};
        if (c.from != TutorialStep::welcome || c.expanded) {
            tutorial.getStarted();
            if (c.expanded) tutorial.setPracticeText(";addr");
            mainQueue.runAll();
            if (c.from == TutorialStep::complete) tutorial.next();
            if (c.from == TutorialStep::welcome) tutorial.back();
        }
        ASSERT_EQ(tutorial.currentStep(), c.from);
        QSignalSpy completed(&tutorial, &TutorialPresenter::completed);
        QSignalSpy created(&tutorial, &TutorialPresenter::snippetCreated);
        const size_t before = analytics.names().size();

        (tutorial.*c.action)();

        EXPECT_EQ(tutorial.currentStep(), c.to);
        EXPECT_EQ(tutorial.hasExpanded(), c.expanded) << "the practice survives every step change";
        EXPECT_EQ(completed.count(), c.ending == Ending::completed ? 1 : 0);
        ASSERT_EQ(created.count(), c.ending == Ending::created ? 1 : 0);
        if (c.ending == Ending::created) {
            const auto item = created.at(0).at(0).value<sablix::SnippetValue>();
            EXPECT_TRUE(item.snippetTitle().isEmpty() && item.snippet().isEmpty()) << "a blank snippet";
        }
        EXPECT_EQ(keysOf(store), c.ending == Ending::none ? "-/-" : "1/1");
        EXPECT_EQ(eventsSince(before), c.events);
    }
}

// A template row hands the host its snippet, new and personal, once the tutorial is stored as done.
TEST_F(TutorialTest, TemplateRowHandsTheHostItsSnippetAfterStoringTheEnd) {
    model.getStarted();
    model.setPracticeText(";addr");
    mainQueue.runAll();
    model.next();
    std::optional<SnippetItem> created;
    std::string keysWhenCreated;
    QObject::connect(&model, &TutorialPresenter::snippetCreated, &model, [&](const sablix::SnippetValue& item) {
        created = item.item();
        keysWhenCreated = keysOf(defaults);
    });
    ASSERT_EQ(model.templates().size(), 4);
    model.chooseTemplate(0);

    ASSERT_TRUE(created);
    EXPECT_EQ(created->snippetTitle, "sig");
    EXPECT_EQ(created->snippet, "Best regards,\n{fill:Your Name}\n{fill:Your Title}\n{fill:Company}");
    EXPECT_TRUE(created->tags.empty() && created->visibility == sablix::SnippetVisibility::personal);
    EXPECT_EQ(created->version, 1);
    EXPECT_FALSE(created->teamId || created->ownerId || created->deletedAt);
    EXPECT_EQ(created->createdAt, clock.now());
    EXPECT_EQ(keysWhenCreated, "1/1");
    EXPECT_TRUE(sablix::SnippetController(defaults, clock).loadItems().empty()) << "the tutorial writes no library";
}

// A replay finds what the first showing saved: the starter "sig" and the "my-sig" it was offered
// instead. Every template is still handed over under a title the editor saves beside them.
TEST_F(TutorialTest, EveryTemplateIsHandedOverUnderATitleTheEditorSaves) {
    storeLibrary({{"sig", "Regards"}, {"my-sig", "Best regards"}});
    model.getStarted();
    model.setPracticeText(";addr");
    mainQueue.runAll();
    model.next();
    std::vector<SnippetItem> created;
    QObject::connect(&model, &TutorialPresenter::snippetCreated, &model,
                     [&](const sablix::SnippetValue& item) { created.push_back(*item.item()); });
    for (int index = 0; index < model.templates().size(); ++index) model.chooseTemplate(index);

    ASSERT_EQ(created.size(), 4u);
    const auto library = sablix::SnippetController(defaults, clock).loadItems();
    for (const SnippetItem& item : created) EXPECT_TRUE(item.validate(library, settings).isValid) << item.snippetTitle;
}

}  // namespace
