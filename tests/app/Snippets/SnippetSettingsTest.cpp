#include <QSignalSpy>
#include <gtest/gtest.h>

#include "Snippets/SnippetSettings.h"
#include "platform/MemoryDefaults.h"

using platform::DefaultsValue;
using platform::MemoryDefaults;
using sablix::SnippetSettings;

namespace {
const char* const kMaxKey = "snippet_max_title_length";
const char* const kWhitespaceKey = "snippet_auto_remove_whitespace";
}  // namespace

TEST(SnippetSettings, StartUpTakesOnlyInRangeValuesAndWritesNothing) {
    struct Case {
        std::optional<DefaultsValue> length, whitespace;
        int maxTitleLength;
        bool autoRemoveWhitespace;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, 20, true},
        {DefaultsValue(5), DefaultsValue(false), 20, false},
        {DefaultsValue(41), DefaultsValue(int64_t{0}), 20, false},
        {DefaultsValue(-3), DefaultsValue(true), 20, true},
        {DefaultsValue(40), std::nullopt, 40, true},
        {DefaultsValue(10), std::nullopt, 10, true},
        {DefaultsValue(33.0), std::nullopt, 33, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length ? c.length->toJson().dump() : "absent");
        MemoryDefaults defaults;
        if (c.length) defaults.set(kMaxKey, *c.length);
        if (c.whitespace) defaults.set(kWhitespaceKey, *c.whitespace);
        const size_t writesBefore = defaults.writeCount();
        SnippetSettings settings(defaults);
        EXPECT_EQ(settings.maxTitleLength(), c.maxTitleLength);
        EXPECT_EQ(settings.autoRemoveWhitespace(), c.autoRemoveWhitespace);
        EXPECT_EQ(defaults.writeCount(), writesBefore);
    }
}

TEST(SnippetSettings, AssignedValuesArePublishedClampedAndStored) {
    MemoryDefaults defaults;
    SnippetSettings settings(defaults);
    QSignalSpy lengths(&settings, &SnippetSettings::maxTitleLengthChanged);
    struct Case {
        int assigned;
        std::vector<int> published;
        int stored;
    };
    for (const auto& c : {Case{50, {50, 40}, 40}, Case{5, {5, 10}, 10}, Case{25, {25}, 25}}) {
        SCOPED_TRACE(c.assigned);
        lengths.clear();
        settings.setProperty("maxTitleLength", c.assigned);  // the way a view assigns it
        std::vector<int> published;
        for (const auto& call : lengths) published.push_back(call.at(0).toInt());
        EXPECT_EQ(published, c.published);
        EXPECT_EQ(SnippetSettings(defaults).maxTitleLength(), c.stored);
    }

    QSignalSpy flags(&settings, &SnippetSettings::autoRemoveWhitespaceChanged);
    settings.setAutoRemoveWhitespace(false);
    ASSERT_EQ(flags.count(), 1);
    EXPECT_FALSE(flags.at(0).at(0).toBool());
    EXPECT_FALSE(SnippetSettings(defaults).autoRemoveWhitespace());
}
