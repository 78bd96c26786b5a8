#include <QStringList>
#include <gtest/gtest.h>

#include "Models/MainWindow/ContentHighlight.h"
#include "Models/MainWindow/SnippetEditorRules.h"

using namespace sablix;

namespace {

std::vector<std::string> errorKinds(const std::vector<SnippetValidationError>& errors) {
    std::vector<std::string> kinds;
    for (const auto& error : errors) kinds.push_back(error.localizedDescription());
    return kinds;
}

QStringList parts(const QString& content) {
    QStringList list;
    for (QStringView part : contentHighlight::splitContent(content)) list << part.toString();
    return list;
}

}  // namespace

TEST(SnippetEditorRules, TitleKeepsTheShapeTheTriggerNeeds) {
    using editorRules::normalizedTitle;
    EXPECT_EQ(normalizedTitle("my;sig x", true, 20), "mysigx");
    EXPECT_EQ(normalizedTitle(";;", true, 20), "");
    EXPECT_EQ(normalizedTitle("my sig\tx\n", false, 20), "my sig\tx\n") << "only U+0020, and only when asked";
    EXPECT_EQ(normalizedTitle("a\u00A0b c", true, 20), "a\u00A0bc");
    // Cut by user-perceived characters: an emoji family, a flag and a combining accent count one each.
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
    EXPECT_EQ(normalizedTitle(family + "\U0001F1E9\U0001F1EA" + "e\u0301xyz", true, 3),
              family + "\U0001F1E9\U0001F1EA" + "e\u0301");
    EXPECT_EQ(normalizedTitle(std::string(100000, 'a') + ";", true, 40), std::string(40, 'a'));
}

TEST(SnippetEditorRules, SaveNeedsTitleAndContentAndNoShownError) {
    using editorRules::canSave;
    using editorRules::displayableErrors;
    const std::vector<SnippetValidationError> blank{SnippetValidationError::emptyTitle(),
                                                    SnippetValidationError::emptyContent()};
    EXPECT_TRUE(displayableErrors(blank).empty()) << "a blank field only disables Save";
    EXPECT_FALSE(canSave("", "content", displayableErrors(blank)));
    EXPECT_FALSE(canSave(" \n\t", "content", {}));
    EXPECT_FALSE(canSave("title", "\u3000\n", {}));
    EXPECT_TRUE(canSave(" title ", "content", {}));

    const std::vector<SnippetValidationError> mixed{SnippetValidationError::emptyContent(),
                                                    SnippetValidationError::duplicateTitle("addr"),
                                                    SnippetValidationError::titleTooShort(2)};
    EXPECT_EQ(errorKinds(displayableErrors(mixed)),
              errorKinds({SnippetValidationError::duplicateTitle("addr"), SnippetValidationError::titleTooShort(2)}));
    EXPECT_FALSE(canSave("addr", "x", displayableErrors(mixed)));
}

TEST(SnippetEditorRules, TagsAreTrimmedLowerCasedAndNeverAddedTwice) {
    using editorRules::tagToAdd;
    EXPECT_EQ(tagToAdd("\t Home Office\u00A0 ", {}), "home office");
    EXPECT_EQ(tagToAdd("a, b", {}), "a, b");
    EXPECT_EQ(tagToAdd("\u00C4RGER", {}), "\u00E4rger");
    EXPECT_EQ(tagToAdd("WORK", {"work"}), std::nullopt);
    EXPECT_EQ(tagToAdd("Work", {"Work"}), "work") << "a tag stored with capitals is another tag";
    EXPECT_EQ(tagToAdd(" \t ", {}), std::nullopt);
    EXPECT_EQ(tagToAdd("x\n", {}), "x\n") << "line breaks are not trimmed";
}

TEST(SnippetEditorRules, FieldGoesInPlaceOfTheSelectionOrAtTheEnd) {
    using editorRules::contentWithField;
    using Selection = editorRules::TextSelection;
    const QString content = QString::fromUtf8("Hi \U0001F600 there");  // the emoji is two UTF-16 units
    EXPECT_EQ(contentWithField(content, "{day}", Selection{3, 0}), QString::fromUtf8("Hi {day}\U0001F600 there"));
    EXPECT_EQ(contentWithField(content, "{day}", Selection{6, 5}), QString::fromUtf8("Hi \U0001F600 {day}"));
    EXPECT_EQ(contentWithField(content, "{day}", Selection{11, 0}), content + "{day}") << "at the end";
    EXPECT_EQ(contentWithField(content, "{day}", Selection{10, 3}), content + "{day}") << "past the end";
    EXPECT_EQ(contentWithField(content, "{day}", std::nullopt), content + "{day}");
    EXPECT_EQ(contentWithField("", "{day}", Selection{0, 0}), "{day}");
}

TEST(ContentHighlight, BracesSplitTheContentAndOnlyFieldsAreSetOff) {
    EXPECT_TRUE(parts("").isEmpty());
    EXPECT_EQ(parts("a } b {day} c"), (QStringList{"a } b ", "{day}", " c"}));
    EXPECT_EQ(parts("x {fill:{a} b} y"), (QStringList{"x ", "{fill:{a}", " b} y"}));
    EXPECT_EQ(parts("before {date+3 and more"), (QStringList{"before ", "{date+3 and more"}));
    EXPECT_EQ(parts("{}{time}"), (QStringList{"{}", "{time}"}));

    const QStringList tokens{"{date}",   "{date:short}", "{time}",         "{clipboard}", "{day}",
                             "{cursor}", "{date+7}",     "{date-2:short}", "{fill:}",     "{fill:Full Name}"};
    for (const QString& token : tokens)
        EXPECT_TRUE(contentHighlight::isDynamicFieldToken(token)) << token.toStdString();
    const QStringList plain{"{snippet:sig}", "{}", "{dates}", "{Date}", "{date+3", "{name}", "text"};
    for (const QString& part : plain) EXPECT_FALSE(contentHighlight::isDynamicFieldToken(part)) << part.toStdString();

    const auto shown = contentHighlight::highlightedContent(
        u"Hi {fill:Name},\n\nFollowing up from {day}. {cursor}\n\nBest,\n{snippet:sig}");
    EXPECT_EQ(shown.text, u"Hi  {fill:Name} ,\n\nFollowing up from  {day} .  {cursor} \n\nBest,\n{snippet:sig}");
    QStringList highlighted;
    for (const auto& range : shown.tokens) highlighted << shown.text.mid(range.start, range.length);
    EXPECT_EQ(highlighted, (QStringList{"{fill:Name}", "{day}", "{cursor}"}));
}
