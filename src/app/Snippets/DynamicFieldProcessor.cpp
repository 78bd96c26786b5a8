#include "Snippets/DynamicFieldProcessor.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <limits>
#include <memory>
#include <unordered_map>

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include "desktop/Pasteboard.h"
#include "platform/TextRules.h"

namespace sablix {
namespace {

constexpr std::string_view kZeroWidthSpace = "\u200B";
constexpr std::string_view kSnippetOpening = "{snippet:";
constexpr std::string_view kFillOpening = "{fill:";
constexpr std::string_view kDateOpening = "{date";
constexpr std::string_view kShortSuffix = ":short";

struct Match {
    size_t begin = 0;  // the opening brace
    size_t end = 0;    // just past the closing brace
    size_t groupBegin = 0;
    size_t groupEnd = 0;
    bool isShort = false;  // date arithmetic only
};

// "{OPENING" then one or more characters other than "}" then "}". Working on UTF-8 bytes gives
// the same matches as on code points: "}" never occurs inside a multi-byte sequence.
std::optional<Match> findBracedField(std::string_view text, std::string_view opening, size_t from) {
    while (from < text.size()) {
        const size_t begin = text.find(opening, from);
        if (begin == std::string_view::npos) return std::nullopt;
        const size_t groupBegin = begin + opening.size();
        const size_t close = text.find('}', groupBegin);
        if (close == std::string_view::npos) return std::nullopt;  // no later candidate can close either
        if (close > groupBegin) return Match{begin, close + 1, groupBegin, close, false};
        from = begin + 1;
    }
    return std::nullopt;
}

// One decimal digit of any script, as a regular expression's \d takes it; its length in bytes.
size_t decimalDigitLength(std::string_view text, size_t at) {
    if (at >= text.size()) return 0;
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) return (byte >= '0' && byte <= '9') ? 1 : 0;
    int32_t i = static_cast<int32_t>(at);
    UChar32 c;
    U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), i, static_cast<int32_t>(text.size()), c);
    return (c >= 0 && u_isdigit(c)) ? static_cast<size_t>(i) - at : 0;
}

// "{date" sign digits [":short"] "}", group = sign and digits.
std::optional<Match> findDateMath(std::string_view text, size_t from) {
    while (from < text.size()) {
        const size_t begin = text.find(kDateOpening, from);
        if (begin == std::string_view::npos) return std::nullopt;
        from = begin + 1;
        size_t at = begin + kDateOpening.size();
        if (at >= text.size() || (text[at] != '+' && text[at] != '-')) continue;
        const size_t groupBegin = at++;
        size_t digits = 0;
        while (const size_t n = decimalDigitLength(text, at)) {
            at += n;
            ++digits;
        }
        if (digits == 0) continue;
        const size_t groupEnd = at;
        bool isShort = false;
        if (text.substr(at, kShortSuffix.size()) == kShortSuffix) {
            isShort = true;
            at += kShortSuffix.size();
        }
        if (at < text.size() && text[at] == '}') return Match{begin, at + 1, groupBegin, groupEnd, isShort};
    }
    return std::nullopt;
}

// A signed 64-bit decimal with its sign; anything that is not 0-9 or out of range gives 0.
int64_t parseOffset(std::string_view group) {
    const bool negative = group.front() == '-';
    const uint64_t limit =
        negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1 : uint64_t(std::numeric_limits<int64_t>::max());
    uint64_t value = 0;
    for (char c : group.substr(1)) {
        if (c < '0' || c > '9') return 0;
        const uint64_t digit = uint64_t(c - '0');
        if (value > (limit - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    if (negative) return value == limit ? std::numeric_limits<int64_t>::min() : -int64_t(value);
    return int64_t(value);
}

// True when every character could belong to "{date±N:short}": only then can an inserted date
// complete a field begun before it.
bool canStandInsideDateField(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        if (const size_t n = decimalDigitLength(text, at)) {
            at += n;
            continue;
        }
        if (std::string_view("date+-:short").find(text[at]) == std::string_view::npos) return false;
        ++at;
    }
    return true;
}

void replaceAll(std::string& text, std::string_view token, const std::string& value) {
    std::string out;
    size_t from = 0;
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, from)) {
        out.append(text, from, at - from);
        out += value;
        from = at + token.size();
    }
    if (from == 0) return;
    out.append(text, from, std::string::npos);
    text = std::move(out);
}

void removeAll(std::string& text, std::string_view part) {
    if (text.find(part) == std::string::npos) return;
    replaceAll(text, part, std::string());
}

bool isFillNameSpace(int32_t c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

// Trims tabs and space separators (not newlines) from both ends.
std::string_view trimFillName(std::string_view name) { return platform::text::trimmedWhere(name, isFillNameSpace); }

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

// The locale dates are written in: the process's LC_TIME setting (or the environment's), else
// ICU's default.
icu::Locale defaultDateLocale() {
    std::string posix;
    if (const char* current = std::setlocale(LC_TIME, nullptr)) posix = current;
    if (posix.empty() || posix == "C" || posix == "POSIX") {
        posix.clear();
        for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
            const char* value = std::getenv(name);
            if (value && *value) {
                posix = value;
                break;
            }
        }
    }
    posix = posix.substr(0, posix.find_first_of(".@"));
    if (posix.empty() || posix == "C" || posix == "POSIX") return icu::Locale::getDefault();
    icu::Locale locale(posix.c_str());
    return locale.isBogus() ? icu::Locale::getDefault() : locale;
}

// Titles are the same when they are equal without regard to case under canonical equivalence
// ("café" precomposed or with a combining accent).
std::string titleKey(std::string_view title) { return platform::text::nfc(platform::text::lowercased(title)); }

}  // namespace

// The state of one outside call of process: the remaining budget, and the values read from
// outside, each read once and only when a field needs it.
struct DynamicFieldProcessor::Expansion {
    explicit Expansion(const DynamicFieldContext& context) : context(context) {}

    const DynamicFieldContext& context;
    int expansionsLeft = kMaxNestedExpansions;

    // The first snippet of the list under each title key, built on the first lookup.
    const SnippetItem* snippetTitled(const std::string& key, const std::vector<SnippetItem>& snippets) {
        if (indexed != &snippets) {
            byTitle.clear();
            for (const auto& snippet : snippets) byTitle.emplace(titleKey(snippet.snippetTitle), &snippet);
            indexed = &snippets;
        }
        const auto found = byTitle.find(key);
        return found == byTitle.end() ? nullptr : found->second;
    }

    const std::vector<SnippetItem>* indexed = nullptr;
    std::unordered_map<std::string, const SnippetItem*> byTitle;

    std::optional<icu::Locale> localeValue;
    std::unique_ptr<icu::TimeZone> zoneValue;
    std::optional<UDate> nowValue;
    std::unique_ptr<icu::DateFormat> shortDateFormat;
    std::unique_ptr<icu::DateFormat> longDateFormat;
    std::optional<std::string> shortDate, longDate, currentTime, dayOfWeek, clipboard;

    const icu::Locale& locale() {
        if (!localeValue)
            localeValue = context.locale.empty() ? defaultDateLocale() : icu::Locale(context.locale.c_str());
        return *localeValue;
    }
    const icu::TimeZone& zone() {
        if (!zoneValue) {
            // The host's zone is looked up for every expansion: ICU's cached default would miss
            // a change of time zone while the application runs.
            zoneValue.reset(context.timeZone.empty()
                                ? icu::TimeZone::detectHostTimeZone()
                                : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(context.timeZone)));
        }
        return *zoneValue;
    }
    UDate now() {
        if (!nowValue) nowValue = context.clock.now().unixSeconds() * 1000.0;
        return *nowValue;
    }
    icu::DateFormat* dateFormat(icu::DateFormat::EStyle style) {
        auto& format = style == icu::DateFormat::kShort ? shortDateFormat : longDateFormat;
        if (!format) format = makeFormat(icu::DateFormat::createDateInstance(style, locale()));
        return format.get();
    }
    std::string format(icu::DateFormat* format, UDate date) {
        if (!format) return {};
        icu::UnicodeString out;
        format->format(date, out);
        return utf8(out);
    }
    std::unique_ptr<icu::DateFormat> makeFormat(icu::DateFormat* format) {
        if (format) format->setTimeZone(zone());
        return std::unique_ptr<icu::DateFormat>(format);
    }
};

const std::vector<std::string>& DynamicFieldProcessor::supportedFields() {
    static const std::vector<std::string> fields{"{date}",      "{date:short}", "{time}",
                                                 "{clipboard}", "{day}",        "{cursor}"};
    return fields;
}

ClipboardReader::ClipboardReader(desktop::Pasteboard* pasteboard) {
    if (pasteboard) read_ = [pasteboard] { return pasteboard->string(); };
}

std::string DynamicFieldProcessor::process(const std::string& text, const std::vector<SnippetItem>& snippets,
                                           const std::set<std::string>& resolvedTitles, int depth,
                                           const DynamicFieldContext& context) {
    if (text.find('{') == std::string::npos) return text;
    Expansion expansion(context);
    return process(text, snippets, resolvedTitles, depth, expansion);
}

std::string DynamicFieldProcessor::process(const std::string& text, const std::vector<SnippetItem>& snippets,
                                           const std::set<std::string>& resolvedTitles, int depth,
                                           Expansion& expansion) {
    if (text.find('{') == std::string::npos) return text;
    std::string result = processNestedSnippets(text, snippets, resolvedTitles, depth, expansion);
    result = processDateMath(result, expansion);
    if (result.find('{') == std::string::npos) return result;
    // Each value is read only when its token is there; the clipboard goes last so that fields
    // in the clipboard's own text stay as written.
    const std::pair<const char*, std::string (*)(Expansion&)> tokens[] = {
        {"{date:short}", &DynamicFieldProcessor::shortDate},
        {"{date}", &DynamicFieldProcessor::longDate},
        {"{time}", &DynamicFieldProcessor::currentTime},
        {"{day}", &DynamicFieldProcessor::dayOfWeek},
        {"{clipboard}", &DynamicFieldProcessor::clipboardContents},
    };
    for (const auto& [token, value] : tokens)
        if (result.find(token) != std::string::npos) replaceAll(result, token, value(expansion));
    return result;
}

std::string DynamicFieldProcessor::processNestedSnippets(const std::string& input,
                                                         const std::vector<SnippetItem>& snippets,
                                                         const std::set<std::string>& resolvedTitles, int depth,
                                                         Expansion& expansion) {
    if (depth > 4 || snippets.empty()) return input;
    std::set<std::string> seen = resolvedTitles;
    std::string text = input;
    // Earlier text never holds a match once the search has passed it, except where an inserted
    // expansion completes a "{snippet:" begun just before it; so the search resumes there rather
    // than at the beginning. A reference that stays literal is skipped by resuming one byte on,
    // which is what marking it with a zero-width space achieves.
    size_t from = 0;
    while (auto match = findBracedField(text, kSnippetOpening, from)) {
        const std::string title = text.substr(match->groupBegin, match->groupEnd - match->groupBegin);
        const std::string key = titleKey(title);
        const SnippetItem* found = seen.count(key) ? nullptr : expansion.snippetTitled(key, snippets);
        if (!found || expansion.expansionsLeft <= 0) {
            from = match->begin + 1;
            continue;
        }
        --expansion.expansionsLeft;
        seen.insert(key);
        const std::string expanded = process(found->snippet, snippets, seen, depth + 1, expansion);
        const size_t grownSize = text.size() - (match->end - match->begin) + expanded.size();
        if (grownSize > kMaxExpandedBytes && grownSize > text.size()) {
            from = match->begin + 1;
            continue;
        }
        text.replace(match->begin, match->end - match->begin, expanded);
        from = match->begin >= kSnippetOpening.size() - 1 ? match->begin - (kSnippetOpening.size() - 1) : 0;
    }
    removeAll(text, kZeroWidthSpace);
    return text;
}

std::string DynamicFieldProcessor::processDateMath(const std::string& input, Expansion& expansion) {
    std::string text = input;
    size_t from = 0;
    while (auto match = findDateMath(text, from)) {
        const int64_t days =
            parseOffset(std::string_view(text).substr(match->groupBegin, match->groupEnd - match->groupBegin));
        if (days < std::numeric_limits<int32_t>::min() || days > std::numeric_limits<int32_t>::max()) return text;
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Calendar> calendar(
            icu::Calendar::createInstance(expansion.zone().clone(), expansion.locale(), status));
        if (U_FAILURE(status) || !calendar) return text;
        calendar->setTime(expansion.now(), status);
        calendar->add(UCAL_DATE, static_cast<int32_t>(days), status);
        const UDate date = calendar->getTime(status);
        if (U_FAILURE(status)) return text;
        const std::string formatted = expansion.format(
            expansion.dateFormat(match->isShort ? icu::DateFormat::kShort : icu::DateFormat::kLong), date);
        text.replace(match->begin, match->end - match->begin, formatted);
        // A date made only of characters that can stand inside a field could complete one begun
        // before it; then the search starts over, as it otherwise would anyway.
        const bool canJoin = canStandInsideDateField(formatted);
        from = canJoin ? 0 : match->begin + formatted.size();
    }
    return text;
}

std::string DynamicFieldProcessor::shortDate(Expansion& expansion) {
    if (!expansion.shortDate)
        expansion.shortDate = expansion.format(expansion.dateFormat(icu::DateFormat::kShort), expansion.now());
    return *expansion.shortDate;
}

std::string DynamicFieldProcessor::longDate(Expansion& expansion) {
    if (!expansion.longDate)
        expansion.longDate = expansion.format(expansion.dateFormat(icu::DateFormat::kLong), expansion.now());
    return *expansion.longDate;
}

std::string DynamicFieldProcessor::currentTime(Expansion& expansion) {
    if (!expansion.currentTime) {
        auto format =
            expansion.makeFormat(icu::DateFormat::createTimeInstance(icu::DateFormat::kShort, expansion.locale()));
        expansion.currentTime = expansion.format(format.get(), expansion.now());
    }
    return *expansion.currentTime;
}

std::string DynamicFieldProcessor::dayOfWeek(Expansion& expansion) {
    if (!expansion.dayOfWeek) {
        UErrorCode status = U_ZERO_ERROR;
        auto format =
            expansion.makeFormat(new icu::SimpleDateFormat(icu::UnicodeString("EEEE"), expansion.locale(), status));
        expansion.dayOfWeek = U_SUCCESS(status) ? expansion.format(format.get(), expansion.now()) : std::string();
    }
    return *expansion.dayOfWeek;
}

std::string DynamicFieldProcessor::clipboardContents(Expansion& expansion) {
    if (!expansion.clipboard) expansion.clipboard = expansion.context.pasteboard.read().value_or(std::string());
    return *expansion.clipboard;
}

CursorProcessingResult DynamicFieldProcessor::processWithCursor(const std::string& text,
                                                                const std::vector<SnippetItem>& snippets,
                                                                const DynamicFieldContext& context) {
    std::string expanded = process(text, snippets, {}, 0, context);
    const size_t mark = expanded.find(kCursorMark);
    if (mark == std::string::npos) return {std::move(expanded), std::nullopt};
    const size_t before = platform::text::length(std::string_view(expanded).substr(0, mark));
    removeAll(expanded, kCursorMark);
    const size_t total = platform::text::length(expanded);
    return {std::move(expanded), total > before ? total - before : 0};
}

std::vector<std::string> DynamicFieldProcessor::extractFillFields(const std::string& text) {
    std::vector<std::string> names;
    size_t from = 0;
    while (auto match = findBracedField(text, kFillOpening, from)) {
        from = match->end;
        const std::string name(
            trimFillName(std::string_view(text).substr(match->groupBegin, match->groupEnd - match->groupBegin)));
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

std::string DynamicFieldProcessor::applyFillValues(const std::string& text,
                                                   const std::map<std::string, std::string>& values) {
    std::string out;
    size_t from = 0;
    size_t copied = 0;
    while (auto match = findBracedField(text, kFillOpening, from)) {
        from = match->end;
        const std::string name(
            trimFillName(std::string_view(text).substr(match->groupBegin, match->groupEnd - match->groupBegin)));
        const auto value = values.find(name);
        if (value == values.end()) continue;
        out.append(text, copied, match->begin - copied);
        out += value->second;
        copied = match->end;
    }
    out.append(text, copied, std::string::npos);
    return out;
}

bool DynamicFieldProcessor::hasFillFields(const std::string& text) {
    return findBracedField(text, kFillOpening, 0).has_value();
}

bool DynamicFieldProcessor::containsDynamicFields(const std::string& text) {
    for (const auto& field : supportedFields())
        if (text.find(field) != std::string::npos) return true;
    return findBracedField(text, kSnippetOpening, 0) || findBracedField(text, kFillOpening, 0) || findDateMath(text, 0);
}

}  // namespace sablix
