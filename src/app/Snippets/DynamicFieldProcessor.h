#pragma once
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Snippets/SnippetItem.h"
#include "platform/Clock.h"

namespace desktop {
class Pasteboard;
}

namespace sablix {

// Where "{clipboard}" takes its text from: a pasteboard, or a function for a caller that knows
// better than the pasteboard what the user's clipboard is (the engine, while the previous
// snippet still sits on it). An empty reader gives nothing.
class ClipboardReader {
public:
    using Read = std::function<std::optional<std::string>()>;

    ClipboardReader() = default;
    ClipboardReader(desktop::Pasteboard* pasteboard);  // implicit: a pasteboard is the usual reader
    explicit ClipboardReader(Read read) : read_(std::move(read)) {}

    std::optional<std::string> read() const { return read_ ? read_() : std::nullopt; }

private:
    Read read_;
};

// What dynamic fields read from outside: the present moment, the locale and time zone the dates
// are written in, and the clipboard. The locale and zone default to the process's own: the
// user's date locale (LC_TIME, else ICU's default) and the host's time zone as it is at the
// moment. There is no default clipboard: without one, "{clipboard}" gives nothing.
struct DynamicFieldContext {
    const platform::Clock& clock;
    std::string locale;          // ICU locale id ("de_DE"); empty: the default locale
    std::string timeZone;        // IANA id ("Europe/Berlin"); empty: the default zone
    ClipboardReader pasteboard;  // what "{clipboard}" reads
};

// The text of an expansion and where the caret goes: the number of user-perceived characters
// between the first "{cursor}" mark and the end of the text; none when there was no mark.
struct CursorProcessingResult {
    std::string text;
    std::optional<size_t> cursorOffset;
};

// The only place that knows the dynamic-field syntax. Stateless: every operation is static and
// works on UTF-8 text.
class DynamicFieldProcessor {
public:
    DynamicFieldProcessor() = delete;

    // Expands nested snippets, date arithmetic, the date, the time, the weekday and the
    // clipboard; {fill:NAME} fields and "{cursor}" stay. Outside callers pass no titles and
    // depth 0.
    static std::string process(const std::string& text, const std::vector<SnippetItem>& snippets,
                               const std::set<std::string>& resolvedTitles, int depth,
                               const DynamicFieldContext& context);

    // process, then removes every "{cursor}" mark and tells where the first one stood.
    static CursorProcessingResult processWithCursor(const std::string& text, const std::vector<SnippetItem>& snippets,
                                                    const DynamicFieldContext& context);

    // The names of the fill-in fields, in order of first appearance, without repeats.
    static std::vector<std::string> extractFillFields(const std::string& text);
    // Replaces each fill-in field whose name is a key of values by its value, unchanged.
    static std::string applyFillValues(const std::string& text, const std::map<std::string, std::string>& values);
    static bool hasFillFields(const std::string& text);
    static bool containsDynamicFields(const std::string& text);

    static const std::vector<std::string>& supportedFields();
    static constexpr const char* kSnippetFieldPattern = R"(\{snippet:[^}]+\})";
    static constexpr const char* kFillFieldPattern = R"(\{fill:([^}]+)\})";
    static constexpr const char* kDateMathPattern = R"(\{date([+-]\d+)(?::short)?\})";
    static constexpr const char* kCursorMark = "{cursor}";

    // Snippets that refer to each other can multiply the work of one expansion beyond any
    // use (every path through the references is expanded). Past these limits on one call of
    // process, further references stay as literal text.
    static constexpr int kMaxNestedExpansions = 1000;
    static constexpr size_t kMaxExpandedBytes = 256 * 1024;

private:
    struct Expansion;

    static std::string process(const std::string& text, const std::vector<SnippetItem>& snippets,
                               const std::set<std::string>& resolvedTitles, int depth, Expansion& expansion);
    static std::string processNestedSnippets(const std::string& text, const std::vector<SnippetItem>& snippets,
                                             const std::set<std::string>& resolvedTitles, int depth,
                                             Expansion& expansion);
    static std::string processDateMath(const std::string& text, Expansion& expansion);
    static std::string shortDate(Expansion& expansion);
    static std::string longDate(Expansion& expansion);
    static std::string currentTime(Expansion& expansion);
    static std::string dayOfWeek(Expansion& expansion);
    static std::string clipboardContents(Expansion& expansion);
};

}  // namespace sablix
