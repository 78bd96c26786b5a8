#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "Controllers/SnippetController.h"
#include "Models/AppNotifier.h"
#include "Models/MainWindow/MiddlePanelModel.h"
#include "Models/MainWindow/RightPanelModel.h"
#include "Models/MainWindow/TagSidebarModel.h"
#include "Models/Snippets/SnippetSettings.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/LogCapture.h"

using platform::MemoryDefaults;
using platform::Uuid;
using sablix::MiddlePanelModel;
using sablix::RightPanelModel;
using sablix::SnippetController;
using sablix::SnippetItem;
using sablix::SnippetValue;
using sablix::TagSidebarModel;

namespace {

const char* const kSeededKey = MiddlePanelModel::kHasSeededStarterSnippetsKey;

SnippetItem snippet(std::string title, std::string content, std::vector<std::string> tags = {}) {
    SnippetItem item(Uuid::generate(), std::move(title), std::move(content), {});
    item.tags = std::move(tags);  // as stored, case included
    return item;
}

std::vector<std::string> titles(const std::vector<SnippetItem>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) out.push_back(item.snippetTitle);
    return out;
}

// A store whose file could not be read completely.
class DamagedDefaults final : public platform::Defaults {
public:
    std::optional<platform::DefaultsValue> object(const std::string& key) const override { return inner.object(key); }
    bool set(const std::string& key, const platform::DefaultsValue& value) override { return inner.set(key, value); }
    bool remove(const std::string& key) override { return inner.remove(key); }
    std::string loadError() const override { return "line 3: unexpected byte"; }
    MemoryDefaults inner;
};

class MainWindowModelsTest : public ::testing::Test {
protected:
    void store(const std::vector<SnippetItem>& items) { ASSERT_TRUE(SnippetController(defaults).saveItems(items)); }
    std::vector<SnippetItem> stored() { return SnippetController(defaults).loadItems(); }

    std::unique_ptr<MiddlePanelModel> makeModel(platform::Defaults& store) {
        auto model = std::make_unique<MiddlePanelModel>(
            store, settings, [this] { ++refreshes; }, analytics, notifier);
        tester = std::make_unique<QAbstractItemModelTester>(model->listModel(),
                                                            QAbstractItemModelTester::FailureReportingMode::Fatal);
        return model;
    }
    std::unique_ptr<MiddlePanelModel> makeModel() { return makeModel(defaults); }

    MemoryDefaults defaults;
    MemoryDefaults settingsStore;
    sablix::SnippetSettings settings{settingsStore};
    testsupport::FakeAnalyticsTracking analytics;
    sablix::AppNotifier notifier;
    int refreshes = 0;
    std::unique_ptr<QAbstractItemModelTester> tester;
    testsupport::LogCapture logs;
};

}  // namespace

TEST_F(MainWindowModelsTest, StarterSnippetsAreStoredOnceAndOnlyOverAStoreThatReadCleanly) {
    {  // first start
        auto model = makeModel();
        EXPECT_EQ(titles(model->allItems()), (std::vector<std::string>{"addr", "sig", "tyvm"}));
        EXPECT_EQ(titles(model->filteredItems()), titles(model->allItems()));
        EXPECT_EQ(titles(stored()), titles(model->allItems()));
        EXPECT_TRUE(defaults.boolean(kSeededKey));
        EXPECT_EQ(refreshes, 1);
        EXPECT_EQ(analytics.names(), (std::vector<std::string>{"starter_snippets_seeded"}));
        EXPECT_EQ(model->tagCount("EMAIL"), 2);
    }
    {  // the user deleted every snippet: a later start seeds nothing
        store({});
        auto model = makeModel();
        EXPECT_TRUE(model->allItems().empty());
        EXPECT_EQ(analytics.names().size(), 1u);
    }

    struct Case {
        const char* what;
        std::optional<std::string> library;  // stored bytes, none for absent
        bool failWrites;
        bool seeds;
    };
    const Case cases[] = {
        {"a stored empty library without the flag", "[]", false, true},
        {"a library that does not decode", "[{\"id\": 1", false, false},
        {"a library of one damaged record", "[{\"snippetTitle\": 5}]", false, false},
        {"a refused write", std::nullopt, true, false},
    };
    for (const auto& c : cases) {
        MemoryDefaults store;
        if (c.library) store.set(SnippetController::kSavedSnippetItemsKey, platform::DefaultsValue::data(*c.library));
        store.setFailWrites(c.failWrites);
        const auto before = store.object(SnippetController::kSavedSnippetItemsKey);
        const size_t events = analytics.names().size();
        auto model = makeModel(store);
        EXPECT_EQ(model->allItems().size(), c.seeds ? 3u : 0u) << c.what;
        EXPECT_EQ(store.boolean(kSeededKey), c.seeds) << c.what;
        EXPECT_EQ(analytics.names().size() - events, c.seeds ? 1u : 0u) << c.what;
        if (!c.seeds) {
            EXPECT_EQ(store.object(SnippetController::kSavedSnippetItemsKey), before) << c.what;
        }
    }

    DamagedDefaults damaged;
    auto model = makeModel(damaged);
    EXPECT_TRUE(model->allItems().empty());
    EXPECT_FALSE(damaged.inner.contains(SnippetController::kSavedSnippetItemsKey));
    EXPECT_FALSE(damaged.boolean(kSeededKey));

    // A library with snippets is left alone and the flag stays absent.
    MemoryDefaults used;
    SnippetController(used).saveItems({snippet("mine", "text")});
    EXPECT_EQ(titles(makeModel(used)->allItems()), (std::vector<std::string>{"mine"}));
    EXPECT_FALSE(used.contains(kSeededKey));
}

TEST_F(MainWindowModelsTest, FilterKeepsTagsAsStoredAndSearchesIgnoringCaseInLibraryOrder) {
    defaults.set(kSeededKey, true);
    store({snippet("alpha", "text with ABC", {"work"}), snippet("beta", "plain", {"Work"}),
           snippet("gamma", "nothing", {"home", "work"}), snippet("delta-abc", "more", {}),
           snippet("émile", "Ça va", {"work"})});
    auto model = makeModel();
    QSignalSpy filtered(model.get(), &MiddlePanelModel::filteredItemsChanged);

    struct Case {
        const char* search;
        const char* tag;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"", "", {"alpha", "beta", "gamma", "delta-abc", "émile"}},
        {"", "work", {"alpha", "gamma", "émile"}},
        {"", "WORK", {"alpha", "gamma", "émile"}},  // the given tag is lower-cased, the stored ones are not
        {"abc", "", {"alpha", "delta-abc"}},        // content or title
        {"abc", "work", {"alpha"}},
        {"ÉMI", "", {"émile"}},
        {"ça", "", {"émile"}},
        {"zzz", "", {}},
    };
    for (const auto& c : cases) {
        model->filterItems(QString::fromUtf8(c.search), QString::fromUtf8(c.tag));
        EXPECT_EQ(titles(model->filteredItems()), c.expected) << c.search << " / " << c.tag;
        EXPECT_EQ(model->listModel()->rowCount(), static_cast<int>(c.expected.size()));
    }
    EXPECT_EQ(filtered.count(), static_cast<int>(std::size(cases)));

    // Counts lower-case every tag entry; a tag carried twice in two cases counts twice.
    EXPECT_EQ(model->tagCount("work"), 4);
    EXPECT_EQ(model->tagCount("Home"), 1);
    EXPECT_EQ(model->tagCount("none"), 0);
    EXPECT_EQ(model->tagCountsMap().value("work").toInt(), 4);

    // A row: title, 30-character preview, the first three tags as chips and the count of the rest.
    SnippetItem many = snippet("many", std::string(40, 'x') + "😀", {"a", "b", "c", "d", "e"});
    const auto* list = model->listModel();
    EXPECT_EQ(sablix::SnippetListModel::leadingTags(many), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(sablix::SnippetListModel::moreTagsText(many), "+2");
    many.tags.resize(3);
    EXPECT_EQ(sablix::SnippetListModel::moreTagsText(many), "");
    model->filterItems("", "");
    const QModelIndex first = list->index(0);
    EXPECT_EQ(list->data(first, sablix::SnippetListModel::SnippetTitleRole).toString(), "alpha");
    EXPECT_EQ(list->data(first, sablix::SnippetListModel::SnippetValueRole).value<SnippetValue>().snippetTitle(),
              "alpha");
}

TEST_F(MainWindowModelsTest, ChangesAreStoredFirstRefilterAsTheControlsShowAndReachTheEngine) {
    defaults.set(kSeededKey, true);
    const SnippetItem addr = snippet("addr", "123 Main Street", {"home"});
    const SnippetItem sig = snippet("sig", "Best regards", {"email", "Work"});
    const SnippetItem tyvm = snippet("tyvm", "Thank you", {"email"});
    store({addr, sig, tyvm});
    auto model = makeModel();
    // The controls show the tag "email" and the search "re".
    model->setSelectedTag("email");
    model->filterItems("re", "email");
    ASSERT_EQ(titles(model->filteredItems()), (std::vector<std::string>{"sig"}));
    QSignalSpy allChanged(model.get(), &MiddlePanelModel::allItemsChanged);

    // A colliding title is refused before the library sees it: nothing stored, nothing tracked.
    SnippetItem collision = snippet("ADDR", "other", {"email"});
    EXPECT_EQ(model->addItem(SnippetValue(collision)).toStdString(), "This title is already in use");
    EXPECT_EQ(titles(stored()), (std::vector<std::string>{"addr", "sig", "tyvm"}));
    EXPECT_EQ(stored()[0], addr);
    EXPECT_EQ(refreshes, 0);
    EXPECT_TRUE(analytics.names().empty());

    // A save keeps the tag and the search of the controls.
    SnippetItem regards = snippet("regards", "Kind regards", {"email"});
    EXPECT_EQ(model->addItem(SnippetValue(regards)), "");
    EXPECT_EQ(titles(stored()), (std::vector<std::string>{"addr", "sig", "tyvm", "regards"}));
    EXPECT_EQ(titles(model->filteredItems()), (std::vector<std::string>{"sig", "regards"}));
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(allChanged.count(), 1);
    ASSERT_EQ(analytics.events().size(), 1u);
    EXPECT_EQ(analytics.events()[0].first, "snippet_create");
    EXPECT_EQ(analytics.events()[0].second, (nlohmann::json{{"scope", "personal"}}));

    // An edit of the same snippet is no collision with itself.
    regards.snippet = "Warm regards";
    EXPECT_EQ(model->addItem(SnippetValue(regards)), "");
    EXPECT_EQ(stored()[3].snippet, "Warm regards");

    // Refused writes: the reason comes back, the store and the lists are as they were.
    defaults.setFailWrites(true);
    EXPECT_EQ(model->addItem(SnippetValue(snippet("newone", "text"))), MiddlePanelModel::kSaveFailedMessage);
    EXPECT_EQ(model->deleteItem(SnippetValue(sig)), MiddlePanelModel::kDeleteFailedMessage);
    EXPECT_EQ(model->deleteTag("EMAIL"), MiddlePanelModel::kDeleteTagFailedMessage);
    EXPECT_EQ(titles(model->allItems()), (std::vector<std::string>{"addr", "sig", "tyvm", "regards"}));
    EXPECT_EQ(titles(model->filteredItems()), (std::vector<std::string>{"sig", "regards"}));
    EXPECT_EQ(model->tagCount("email"), 3);
    EXPECT_EQ(refreshes, 2);
    defaults.setFailWrites(false);

    // Delete and tag removal: stored, refiltered as the controls show, engine refreshed.
    EXPECT_EQ(model->deleteItem(SnippetValue(regards)), "");
    EXPECT_EQ(titles(stored()), (std::vector<std::string>{"addr", "sig", "tyvm"}));
    EXPECT_EQ(titles(model->filteredItems()), (std::vector<std::string>{"sig"}));
    EXPECT_EQ(analytics.names().back(), "snippet_delete");
    EXPECT_EQ(model->deleteTag("work"), "");
    EXPECT_EQ(stored()[1].tags, (std::vector<std::string>{"email"}));
    EXPECT_EQ(model->tagCount("work"), 0);
    EXPECT_EQ(titles(model->filteredItems()), (std::vector<std::string>{"sig"}));
    EXPECT_EQ(refreshes, 4);

    // A change from elsewhere reloads, with the same filters.
    SnippetController(defaults).saveItems({addr, sig, tyvm, snippet("later", "See you", {"email"})});
    notifier.postSnippetsChangedExternally();
    QCoreApplication::processEvents();
    EXPECT_EQ(model->allItems().size(), 4u);
    EXPECT_EQ(titles(model->filteredItems()), (std::vector<std::string>{"sig"}));
    model->filterItems("", "email");
    EXPECT_EQ(titles(model->filteredItems()), (std::vector<std::string>{"sig", "tyvm", "later"}));
}

TEST_F(MainWindowModelsTest, SelectionAndTagModels) {
    platform::FakeClock clock;
    RightPanelModel right(clock);
    const SnippetValue first = right.editingSnippet();
    EXPECT_EQ(first.snippetTitle(), "");
    right.showNewSnippetView();
    EXPECT_TRUE(right.isEditingNewSnippet());
    EXPECT_NE(right.editingSnippet().id(), first.id());

    // Clearing the selection leaves the editor open; showing any snippet closes it, and
    // observers hear of it even when the snippet is already shown.
    right.updateSelectedItem(SnippetValue());
    EXPECT_TRUE(right.isEditingNewSnippet());
    const SnippetValue shown(snippet("sig", "x"));
    right.updateSelectedItem(shown);
    EXPECT_FALSE(right.isEditingNewSnippet());
    QSignalSpy selected(&right, &RightPanelModel::selectedItemChanged);
    right.setIsEditingNewSnippet(true);
    right.updateSelectedItem(shown);
    EXPECT_FALSE(right.isEditingNewSnippet());
    EXPECT_EQ(selected.count(), 1);

    defaults.set(kSeededKey, true);
    auto middle = makeModel();
    TagSidebarModel tags(*middle);
    tags.setSelectedTag("gone");
    tags.updateAvailableTags({snippet("a1", "x", {"b", "a"}), snippet("a2", "x", {"B", "b", "\xef\xbd\x81"}),
                              snippet("a3", "x", {"\xf0\x9f\x98\x80"})});
    // By code point: U+FF41 before U+1F600, which UTF-16 units would put the other way round.
    EXPECT_EQ(tags.availableTags(), (QStringList{"B", "a", "b", "\uff41", QString::fromUtf8("\xf0\x9f\x98\x80")}));
    tags.updateAvailableTags();
    EXPECT_TRUE(tags.availableTags().isEmpty());
    EXPECT_EQ(tags.selectedTag(), "gone");

    EXPECT_EQ(TagSidebarModel::displayName("e-mail work  ÉTÉ"), "E-mail Work  Été");
}
