#include "platform/JsonSalvage.h"

#include <algorithm>
#include <optional>

#include "platform/Utf8.h"

namespace platform::jsonsalvage {
namespace {

using nlohmann::json;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

size_t skipSpace(std::string_view text, size_t i) {
    while (i < text.size() && isSpace(text[i])) ++i;
    return i;
}

size_t skipSpaceAndCommas(std::string_view text, size_t i) {
    while (i < text.size() && (isSpace(text[i]) || text[i] == ',')) ++i;
    return i;
}

// From an opening quote to just past its closing quote (or the end of the text).
size_t stringEnd(std::string_view text, size_t quote) {
    for (size_t i = quote + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i + 1;
    }
    return text.size();
}

bool onlySpaceFrom(std::string_view text, size_t i) { return skipSpace(text, i) == text.size(); }

// The code unit of a \uXXXX escape whose backslash is at i, or -1.
long escapedUnit(std::string_view text, size_t i) {
    if (i + 5 >= text.size()) return -1;
    if (text[i] != '\\' || text[i + 1] != 'u') return -1;
    long unit = 0;
    for (size_t k = i + 2; k < i + 6; ++k) {
        const char c = text[k];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

// The characters that may follow a backslash in JSON text, \u excepted.
bool isSimpleEscape(char c) {
    return c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't';
}

bool isHighSurrogate(long unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(long unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The next '{' that could start an element: not one that opens the value of a member.
size_t nextElementStart(std::string_view text, size_t from) {
    for (size_t i = text.find('{', from); i != std::string_view::npos; i = text.find('{', i + 1)) {
        size_t before = i;
        while (before > 0 && isSpace(text[before - 1])) --before;
        if (before == 0 || text[before - 1] != ':') return i;
    }
    return std::string_view::npos;
}

// Whether the arrays and objects of the text nest deeper than kMaxNesting.
bool nestsTooDeep(std::string_view text) {
    size_t depth = 0;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '"') {
            i = stringEnd(text, i);
            continue;
        }
        if ((c == '[' || c == '{') && ++depth > kMaxNesting) return true;
        if ((c == ']' || c == '}') && depth > 0) --depth;
        ++i;
    }
    return false;
}

std::optional<json> parse(std::string_view text) {
    if (nestsTooDeep(text)) return std::nullopt;
    json value = json::parse(text, nullptr, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

}  // namespace

size_t valueEnd(std::string_view text, size_t start) {
    int depth = 0;
    for (size_t i = start; i < text.size();) {
        const char c = text[i];
        if (c == '"') {
            i = stringEnd(text, i);
            continue;
        }
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0) return i;
            if (--depth == 0) return i + 1;
        } else if (c == ',' && depth == 0) {
            return i;
        }
        ++i;
    }
    return text.size();
}

bool repair(std::string& text) {
    bool changed = false;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (const size_t length = utf8::decode(text, i).length) {
                i += length - 1;
            } else {
                text[i] = '?';
                changed = true;
            }
            continue;
        }
        if (c == '"') {
            inString = !inString;
            continue;
        }
        if (!inString) continue;
        if (c < 0x20) {
            text[i] = '?';
            changed = true;
        } else if (c == '\\') {
            const long unit = escapedUnit(text, i);
            if (unit < 0) {
                if (i + 1 < text.size() && isSimpleEscape(text[i + 1])) {
                    ++i;
                } else {
                    text[i] = '?';
                    changed = true;
                }
                continue;
            }
            if (isHighSurrogate(unit) && isLowSurrogate(escapedUnit(text, i + 6))) {
                i += 11;
                continue;
            }
            if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
                text.replace(i + 2, 4, "fffd");
                changed = true;
            }
            i += 5;
        }
    }
    return changed;
}

Object salvageObject(std::string_view text) {
    Object out;
    size_t i = skipSpace(text, 0);
    if (i >= text.size() || text[i] != '{') {
        out.unnamedLoss = i < text.size();
        return out;
    }
    ++i;
    while (true) {
        i = skipSpaceAndCommas(text, i);
        if (i >= text.size()) break;
        if (text[i] == '}') {
            out.unnamedLoss = out.unnamedLoss || !onlySpaceFrom(text, i + 1);
            break;
        }
        std::optional<json> key;
        size_t colon = i;
        if (text[i] == '"') {
            const size_t keyEnd = stringEnd(text, i);
            key = parse(text.substr(i, keyEnd - i));
            colon = skipSpace(text, keyEnd);
        }
        if (!key || !key->is_string() || colon >= text.size() || text[colon] != ':') {
            // A name that does not read is no name: its value would be stored under another key.
            out.unnamedLoss = true;
            const size_t from = colon < text.size() && text[colon] == ':' ? colon + 1 : i;
            i = std::max(valueEnd(text, from), i + 1);
            continue;
        }
        std::string name = key->get<std::string>();
        const size_t start = colon + 1;
        const size_t end = valueEnd(text, start);
        const std::string_view span = text.substr(start, end - start);
        if (auto value = parse(span)) {
            out.members.emplace_back(std::move(name), std::move(*value));
        } else if (std::string repaired(span); repair(repaired) && (value = parse(repaired))) {
            out.repaired.insert(name);
            out.members.emplace_back(std::move(name), std::move(*value));
        } else {
            out.lost.insert(std::move(name));
        }
        i = std::max(end, start);
    }
    return out;
}

Array salvageArrayOfObjects(std::string_view text) {
    Array out;
    size_t i = skipSpace(text, 0);
    size_t damageStart = std::string_view::npos;
    if (i < text.size() && text[i] == '[') {
        ++i;
    } else {
        damageStart = i;
        i = nextElementStart(text, i);
    }
    const auto endDamage = [&](size_t end) {
        if (damageStart == std::string_view::npos) return;
        out.damaged.push_back("bytes " + std::to_string(damageStart) + " to " + std::to_string(end) + " do not parse");
        damageStart = std::string_view::npos;
    };
    while (i != std::string_view::npos) {
        i = skipSpaceAndCommas(text, i);
        if (i >= text.size() || (text[i] == ']' && onlySpaceFrom(text, i + 1))) break;
        const size_t end = valueEnd(text, i);
        if (auto element = parse(text.substr(i, end - i))) {
            endDamage(i);
            out.elements.push_back(std::move(*element));
            i = end;
            continue;
        }
        if (damageStart == std::string_view::npos) damageStart = i;
        i = nextElementStart(text, i + 1);
    }
    endDamage(text.size());
    return out;
}

}  // namespace platform::jsonsalvage
