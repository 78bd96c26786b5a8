#include <QSignalSpy>
#include <gtest/gtest.h>

#include "Models/Snippets/SnippetSettings.h"
#include "platform/MemoryDefaults.h"

using platform::DefaultsValue;
using platform::MemoryDefaults;
using sablix::SnippetSettings;

namespace {
const char* const kMaxKey = "snippet_max_title_length";
const char* const kWhitespaceKey = "snippet_auto_remove_whitespace";

std::vector<int> intArguments(const QSignalSpy& spy) {
    std::vector<int> values;
    for (const auto& call : spy) values.push_back(call.at(0).toInt());
    return values;
}
}  // namespace

TEST(SnippetSettings, StartUpTakesOnlyInRangeValuesAndWritesNothing) {
    const std::vector<std::pair<std::optional<DefaultsValue>, int>> cases = {
        {std::nullopt, 20},      {DefaultsValue(5), 20},  {DefaultsValue(41), 20},   {DefaultsValue(40), 40},
        {DefaultsValue(10), 10}, {DefaultsValue(-3), 20}, {DefaultsValue(33.0), 33},
    };
    for (const auto& [stored, expected] : cases) {
        MemoryDefaults defaults;
        if (stored) defaults.set(kMaxKey, *stored);
        const size_t writesBefore = defaults.writeCount();
        SnippetSettings settings(defaults);
        EXPECT_EQ(settings.maxTitleLength(), expected) << (stored ? stored->toJson().dump() : "absent");
        EXPECT_TRUE(settings.autoRemoveWhitespace());
        EXPECT_EQ(defaults.writeCount(), writesBefore);
    }
}

TEST(SnippetSettings, StoredAutoRemoveWhitespaceIsRead) {
    MemoryDefaults defaults;
    defaults.set(kWhitespaceKey, false);
    EXPECT_FALSE(SnippetSettings(defaults).autoRemoveWhitespace());
    defaults.set(kWhitespaceKey, DefaultsValue(int64_t{0}));
    EXPECT_FALSE(SnippetSettings(defaults).autoRemoveWhitespace());
    defaults.set(kWhitespaceKey, true);
    EXPECT_TRUE(SnippetSettings(defaults).autoRemoveWhitespace());
}

TEST(SnippetSettings, AssignedLengthIsPublishedThenClampedAndStored) {
    MemoryDefaults defaults;
    SnippetSettings settings(defaults);
    QSignalSpy spy(&settings, &SnippetSettings::maxTitleLengthChanged);

    settings.setMaxTitleLength(50);
    EXPECT_EQ(intArguments(spy), (std::vector<int>{50, 40}));
    EXPECT_EQ(settings.maxTitleLength(), 40);
    EXPECT_EQ(defaults.object(kMaxKey), DefaultsValue(40));

    spy.clear();
    settings.setMaxTitleLength(5);
    EXPECT_EQ(intArguments(spy), (std::vector<int>{5, 10}));
    EXPECT_EQ(defaults.object(kMaxKey), DefaultsValue(10));

    spy.clear();
    settings.setProperty("maxTitleLength", 25);  // the way a view assigns it
    EXPECT_EQ(intArguments(spy), std::vector<int>{25});
    EXPECT_EQ(SnippetSettings(defaults).maxTitleLength(), 25);
}

TEST(SnippetSettings, AssignedWhitespaceFlagIsPublishedAndStored) {
    MemoryDefaults defaults;
    SnippetSettings settings(defaults);
    QSignalSpy spy(&settings, &SnippetSettings::autoRemoveWhitespaceChanged);
    settings.setAutoRemoveWhitespace(false);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_FALSE(spy.at(0).at(0).toBool());
    EXPECT_EQ(defaults.object(kWhitespaceKey), DefaultsValue(false));
    EXPECT_FALSE(SnippetSettings(defaults).autoRemoveWhitespace());
}
