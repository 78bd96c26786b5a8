#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <gtest/gtest.h>

#include "Snippets/SnippetController.h"
#include "Shell/AppNotifier.h"
#include "MainWindow/MiddlePanelModel.h"
#include "Snippets/SnippetSettings.h"
#include "platform/Clock.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/LogCapture.h"

using platform::MemoryDefaults;
using platform::Uuid;
using sablix::MiddlePanelModel;
using sablix::SnippetController;
using sablix::SnippetItem;
using sablix::SnippetValue;

namespace {

// Dates the snippets these tests make.
const platform::FakeClock kClock;

const char* const kSeededKey = MiddlePanelModel::kHasSeededStarterSnippetsKey;

SnippetItem snippet(std::string title, std::string content, std::vector<std::string> tags = {}) {
    SnippetItem item(Uuid::generate(), std::move(title), std::move(content), {}, kClock);
    item.tags = std::move(tags);  // as stored, case included
    return item;
}

using Titles = std::vector<std::string>;

Titles titles(const std::vector<SnippetItem>& items) {
    Titles out;
    for (const auto& item : items) out.push_back(item.snippetTitle);
    return out;
}

// A store whose file could not be read completely.
class DamagedDefaults final : public platform::Defaults {
public:
    std::optional<platform::DefaultsValue> object(const std::string& key) const override { return inner.object(key); }
    bool set(const std::string& key, const platform::DefaultsValue& value) override { return inner.set(key, value); }
    bool remove(const std::string& key) override { return inner.remove(key); }
    std::vector<std::string> keys() const override { return inner.keys(); }
    std::string loadError() const override { return "line 3: unexpected byte"; }
    MemoryDefaults inner;
};

class MainWindowModelsTest : public ::testing::Test {
protected:
    void SetUp() override { defaults.set(kSeededKey, true); }
    void store(const std::vector<SnippetItem>& items) {
        ASSERT_TRUE(SnippetController(defaults, kClock).saveItems(items));
    }
    std::vector<SnippetItem> stored() { return SnippetController(defaults, kClock).loadItems(); }

    std::unique_ptr<MiddlePanelModel> makeModel(platform::Defaults& store) {
        auto model = std::make_unique<MiddlePanelModel>(
            store, settings, kClock, [this] { ++refreshes; }, analytics, notifier);
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

// The first start is the end-to-end test's; here the starts that must not seed.
TEST_F(MainWindowModelsTest, StarterSnippetsAreStoredOnlyOverAStoreThatReadCleanly) {
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
        SCOPED_TRACE(c.what);
        MemoryDefaults store;
        if (c.library) store.set(SnippetController::kSavedSnippetItemsKey, platform::DefaultsValue::data(*c.library));
        store.setFailWrites(c.failWrites);
        const auto before = store.object(SnippetController::kSavedSnippetItemsKey);
        auto model = makeModel(store);
        EXPECT_EQ(titles(model->allItems()), (c.seeds ? Titles{"addr", "sig", "tyvm"} : Titles{}));
        EXPECT_EQ(store.boolean(kSeededKey), c.seeds);
        if (!c.seeds) {
            EXPECT_EQ(store.object(SnippetController::kSavedSnippetItemsKey), before);
        }
    }

    DamagedDefaults damaged;
    EXPECT_TRUE(makeModel(damaged)->allItems().empty());
    EXPECT_FALSE(damaged.inner.contains(SnippetController::kSavedSnippetItemsKey));
    EXPECT_FALSE(damaged.boolean(kSeededKey));

    // A library with snippets is left alone and the flag stays absent.
    MemoryDefaults used;
    SnippetController(used, kClock).saveItems({snippet("mine", "text")});
    EXPECT_EQ(titles(makeModel(used)->allItems()), Titles{"mine"});
    EXPECT_FALSE(used.contains(kSeededKey));
}

TEST_F(MainWindowModelsTest, FilterKeepsTagsAsStoredAndSearchesIgnoringCaseInLibraryOrder) {
    store({snippet("alpha", "text with ABC", {"work"}), snippet("beta", "plain", {"Work"}),
           snippet("gamma", "nothing", {"home", "work"}), snippet("delta-abc", "more", {}),
           snippet("émile", "Ça va", {"work"})});
    auto model = makeModel();
    struct Case {
        const char* search;
        const char* tag;
        Titles expected;
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
    // Counts lower-case every tag entry; a tag carried twice in two cases counts twice.
    EXPECT_EQ(model->tagCount("work"), 4);
    EXPECT_EQ(model->tagCountsMap().value("home").toInt(), 1);
}

TEST_F(MainWindowModelsTest, ChangesAreStoredFirstRefilterAsTheControlsShowAndReachTheEngine) {
    const SnippetItem addr = snippet("addr", "123 Main Street", {"home"});
    const SnippetItem sig = snippet("sig", "Best regards", {"email", "Work"});
    const SnippetItem tyvm = snippet("tyvm", "Thank you", {"email"});
    store({addr, sig, tyvm});
    auto model = makeModel();
    // The controls show the tag "email" and the search "re".
    model->setSelectedTag("email");
    model->filterItems("re", "email");
    ASSERT_EQ(titles(model->filteredItems()), Titles{"sig"});

    // A title colliding in another case is refused before the library sees it.
    EXPECT_EQ(model->addItem(SnippetValue(snippet("ADDR", "other", {"email"}))).toStdString(),
              "This title is already in use");
    EXPECT_EQ(stored(), (std::vector<SnippetItem>{addr, sig, tyvm}));
    EXPECT_EQ(refreshes, 0);

    // A save keeps the tag and the search of the controls; an edit is no collision with itself.
    SnippetItem regards = snippet("regards", "Kind regards", {"email"});
    EXPECT_EQ(model->addItem(SnippetValue(regards)), "");
    EXPECT_EQ(titles(model->filteredItems()), (Titles{"sig", "regards"}));
    EXPECT_EQ(refreshes, 1);
    regards.snippet = "Warm regards";
    EXPECT_EQ(model->addItem(SnippetValue(regards)), "");
    EXPECT_EQ(titles(stored()), (Titles{"addr", "sig", "tyvm", "regards"}));
    EXPECT_EQ(stored().back().snippet, "Warm regards");

    // Refused writes: the reason comes back, the store and the lists are as they were.
    defaults.setFailWrites(true);
    EXPECT_EQ(model->addItem(SnippetValue(snippet("newone", "text"))), MiddlePanelModel::kSaveFailedMessage);
    EXPECT_EQ(model->deleteItem(SnippetValue(sig)), MiddlePanelModel::kDeleteFailedMessage);
    EXPECT_EQ(model->deleteTag("EMAIL"), MiddlePanelModel::kDeleteTagFailedMessage);
    EXPECT_EQ(titles(model->allItems()), (Titles{"addr", "sig", "tyvm", "regards"}));
    EXPECT_EQ(titles(model->filteredItems()), (Titles{"sig", "regards"}));
    EXPECT_EQ(model->tagCount("email"), 3);
    EXPECT_EQ(refreshes, 2);
    defaults.setFailWrites(false);

    // A delete: stored, refiltered as the controls show, engine refreshed.
    EXPECT_EQ(model->deleteItem(SnippetValue(regards)), "");
    EXPECT_EQ(titles(stored()), (Titles{"addr", "sig", "tyvm"}));
    EXPECT_EQ(titles(model->filteredItems()), Titles{"sig"});
    EXPECT_EQ(refreshes, 3);

    // A change from elsewhere reloads, with the same filters.
    store({addr, sig, tyvm, snippet("later", "See you", {"email"})});
    notifier.postSnippetsChangedExternally();
    QCoreApplication::processEvents();
    EXPECT_EQ(titles(model->filteredItems()), Titles{"sig"});
    model->filterItems("", "email");
    EXPECT_EQ(titles(model->filteredItems()), (Titles{"sig", "tyvm", "later"}));
}
