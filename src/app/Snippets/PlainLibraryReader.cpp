#include "Snippets/PlainLibraryReader.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/Utf8.h"

namespace sablix {
namespace {

// Thrown at the first thing outside the plain shape; caught once, at the top.
struct NotPlain {};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// JSON text, token by token; every method throws NotPlain where the text leaves the plain shape.
class Scanner {
public:
    explicit Scanner(std::string_view text) : at_(text.data()), end_(text.data() + text.size()) {}

    bool take(char c) {
        skipSpace();
        if (at_ == end_ || *at_ != c) return false;
        ++at_;
        return true;
    }
    void expect(char c) {
        if (!take(c)) throw NotPlain{};
    }
    bool takeNull() {
        skipSpace();
        if (end_ - at_ < 4 || std::memcmp(at_, "null", 4) != 0) return false;
        at_ += 4;
        return true;
    }
    bool atEnd() {
        skipSpace();
        return at_ == end_;
    }

    std::string string() {
        expect('"');
        std::string out;
        const char* run = at_;
        while (true) {
            if (at_ == end_) throw NotPlain{};
            const auto c = static_cast<unsigned char>(*at_);
            if (c == '"') {
                out.append(run, at_);
                ++at_;
                return out;
            }
            if (c < 0x20) throw NotPlain{};
            if (c == '\\') {
                out.append(run, at_);
                ++at_;
                escape(out);
                run = at_;
            } else {
                at_ += c < 0x80 ? 1 : wellFormedSequence();
            }
        }
    }

    double number() {
        bool integral = true;
        const std::string_view text = numberText(integral);
        double value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size()) throw NotPlain{};
        // "-0" is the integer 0 to a JSON parser, which has no negative zero among its integers.
        return integral && value == 0 ? 0.0 : value;
    }

    int64_t integer() {
        bool integral = true;
        const std::string_view text = numberText(integral);
        int64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (!integral || error != std::errc() || end != text.data() + text.size()) throw NotPlain{};
        return value;
    }

private:
    void skipSpace() {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
    }

    void escape(std::string& out) {
        if (at_ == end_) throw NotPlain{};
        switch (*at_++) {
        case '"': out += '"'; return;
        case '\\': out += '\\'; return;
        case '/': out += '/'; return;
        case 'b': out += '\b'; return;
        case 'f': out += '\f'; return;
        case 'n': out += '\n'; return;
        case 'r': out += '\r'; return;
        case 't': out += '\t'; return;
        case 'u': break;
        default: throw NotPlain{};
        }
        if (end_ - at_ < 4) throw NotPlain{};
        uint32_t codePoint = 0;
        const auto [end, error] = std::from_chars(at_, at_ + 4, codePoint, 16);
        if (error != std::errc() || end != at_ + 4) throw NotPlain{};
        at_ += 4;
        // Surrogates, paired or not, are left to the general decoding.
        if (codePoint >= 0xD800 && codePoint <= 0xDFFF) throw NotPlain{};
        platform::utf8::append(out, codePoint);
    }

    // The length of the UTF-8 sequence that starts here, which a JSON parser accepts only when it is
    // well-formed.
    size_t wellFormedSequence() const {
        const size_t length = platform::utf8::decode(std::string_view(at_, static_cast<size_t>(end_ - at_)), 0).length;
        if (length == 0) throw NotPlain{};
        return length;
    }

    // A number as JSON writes it; `integral` when it has neither fraction nor exponent.
    std::string_view numberText(bool& integral) {
        skipSpace();
        const char* start = at_;
        const auto digits = [this] {
            if (at_ == end_ || !isDigit(*at_)) throw NotPlain{};
            while (at_ != end_ && isDigit(*at_)) ++at_;
        };
        if (at_ != end_ && *at_ == '-') ++at_;
        if (at_ != end_ && *at_ == '0')
            ++at_;
        else
            digits();
        integral = true;
        if (at_ != end_ && *at_ == '.') {
            integral = false;
            ++at_;
            digits();
        }
        if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
            integral = false;
            ++at_;
            if (at_ != end_ && (*at_ == '+' || *at_ == '-')) ++at_;
            digits();
        }
        return {start, static_cast<size_t>(at_ - start)};
    }

    const char* at_;
    const char* end_;
};

enum Key : unsigned {
    kId,
    kTitle,
    kContent,
    kTags,
    kTeamId,
    kOwnerId,
    kVisibility,
    kVersion,
    kCreatedAt,
    kUpdatedAt,
    kDeletedAt,
    kKeyCount
};

constexpr const char* kKeyNames[kKeyCount] = {"id",        "snippetTitle", "snippet",    "tags",
                                              "teamId",    "ownerId",      "visibility", "version",
                                              "createdAt", "updatedAt",    "deletedAt"};

Key keyNamed(const std::string& name) {
    for (unsigned k = 0; k < kKeyCount; ++k)
        if (name == kKeyNames[k]) return static_cast<Key>(k);
    throw NotPlain{};
}

platform::Uuid uuid(Scanner& in) {
    const auto parsed = platform::Uuid::fromString(in.string());
    if (!parsed) throw NotPlain{};
    return *parsed;
}

std::vector<std::string> strings(Scanner& in) {
    std::vector<std::string> out;
    in.expect('[');
    if (in.take(']')) return out;
    do out.push_back(in.string());
    while (in.take(','));
    in.expect(']');
    return out;
}

SnippetItem record(Scanner& in, const platform::Clock& clock) {
    std::optional<platform::Uuid> id, teamId, ownerId;
    std::optional<std::string> title, content;
    std::optional<std::vector<std::string>> tags;
    std::optional<SnippetVisibility> visibility;
    std::optional<int64_t> version;
    std::optional<platform::Date> createdAt, updatedAt, deletedAt;
    unsigned seen = 0;
    in.expect('{');
    if (!in.take('}')) {
        do {
            const Key key = keyNamed(in.string());
            in.expect(':');
            if (seen & (1u << key)) throw NotPlain{};
            seen |= 1u << key;
            // A null counts as absent, which only the optional keys may be.
            if (in.takeNull()) {
                if (key == kId || key == kTitle || key == kContent) throw NotPlain{};
                continue;
            }
            switch (key) {
            case kId: id = uuid(in); break;
            case kTitle: title = in.string(); break;
            case kContent: content = in.string(); break;
            case kTags: tags = strings(in); break;
            case kTeamId: teamId = uuid(in); break;
            case kOwnerId: ownerId = uuid(in); break;
            case kVisibility:
                visibility = snippetVisibilityFromRaw(in.string());
                if (!visibility) throw NotPlain{};
                break;
            case kVersion: version = in.integer(); break;
            case kCreatedAt: createdAt = platform::Date{in.number()}; break;
            case kUpdatedAt: updatedAt = platform::Date{in.number()}; break;
            case kDeletedAt: deletedAt = platform::Date{in.number()}; break;
            case kKeyCount: throw NotPlain{};
            }
        } while (in.take(','));
        in.expect('}');
    }
    if (!id || !title || !content) throw NotPlain{};
    SnippetItem item(*id, std::move(*title), std::move(*content), {}, teamId, ownerId,
                     visibility.value_or(SnippetVisibility::personal), version.value_or(1),
                     createdAt ? *createdAt : clock.now(), updatedAt ? *updatedAt : clock.now(), deletedAt);
    if (tags) item.tags = std::move(*tags);  // stored tags are kept exactly as they were written
    return item;
}

}  // namespace

std::optional<std::vector<SnippetItem>> readPlainLibrary(std::string_view text, const platform::Clock& clock) {
    try {
        Scanner in(text);
        std::vector<SnippetItem> items;
        in.expect('[');
        if (!in.take(']')) {
            do items.push_back(record(in, clock));
            while (in.take(','));
            in.expect(']');
        }
        if (!in.atEnd()) return std::nullopt;
        return items;
    } catch (const NotPlain&) {
        return std::nullopt;
    }
}

}  // namespace sablix
