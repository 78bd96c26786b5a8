#include "platform/DefaultsFile.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Base64.h"
#include "platform/BackupFile.h"
#include "platform/JsonSalvage.h"
#include "platform/Uuid.h"
#include "posix/AtomicFile.h"
#include "posix/LogText.h"

namespace platform {
namespace {

using nlohmann::json;

// Not a value of the store: the record of values lost to damage (see LostValues).
const char* const kLostValuesKey = "$lostValues";
const char* const kBackupInfix = ".damaged-";
// The values are the user's alone.
constexpr mode_t kFileMode = 0600;

bool readWhole(int fd, std::string& bytes) {
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

std::string quoted(const std::string& key) { return "the value under \"" + key + "\""; }

// A path as JSON text can hold it (a file name need not be UTF-8).
std::string printable(std::string text) {
    jsonsalvage::repair(text);
    return text;
}

// A large data value (the snippet library) is megabytes of base64 text, which never needs
// escaping, yet the JSON writer would examine it character by character. Such a value is written
// as a stand-in string unique to this write, and its text is put in the stand-in's place after.
// The bytes are those of the ordinary writer; a stand-in not found exactly once (a stored string
// that happens to equal it) sends the caller back to the ordinary writer.
class LargeDataSplicer {
public:
    static constexpr size_t kLargeData = 64 * 1024;

    json toJson(const DefaultsValue& value) {
        const auto* data = value.asData();
        if (!data || data->size() < kLargeData) return value.toJson();
        std::string standIn = "sablix-data-" + Uuid::generate().toString();
        json stub{{"$data", standIn}};
        pieces_.push_back({'"' + std::move(standIn) + '"', base64Encode(data->data(), data->size())});
        return stub;
    }

    // The written text with every stand-in replaced, or nothing when one is not there exactly once.
    std::optional<std::string> fill(const std::string& text) const {
        std::vector<std::pair<size_t, const Piece*>> places;
        size_t size = text.size();
        for (const auto& piece : pieces_) {
            const size_t at = text.find(piece.quotedStandIn);
            if (at == std::string::npos || text.find(piece.quotedStandIn, at + 1) != std::string::npos)
                return std::nullopt;
            places.emplace_back(at, &piece);
            size += piece.text.size() + 2 - piece.quotedStandIn.size();
        }
        std::sort(places.begin(), places.end());
        std::string out;
        out.reserve(size);
        size_t from = 0;
        for (const auto& [at, piece] : places) {
            out.append(text, from, at - from);
            out += '"';
            out += piece->text;
            out += '"';
            from = at + piece->quotedStandIn.size();
        }
        out.append(text, from, std::string::npos);
        return out;
    }

private:
    struct Piece {
        std::string quotedStandIn;
        std::string text;
    };
    std::vector<Piece> pieces_;
};

// The reader's side of LargeDataSplicer: the JSON parser too would go through megabytes of base64
// character by character. Before parsing, each long base64 string after "$data": is replaced by
// a stand-in unique to this read; after, each stand-in must be the whole value of a top-level
// {"$data": …}, where the writer puts large data, and gets its text back there. A string with no
// quote or backslash in it is one token, so a stand-in found as a whole string value means the
// original held that same token in that place. Any other outcome (a stand-in elsewhere, a text
// that does not parse) leaves the caller to parse the bytes as they are.
class LargeDataLifter {
public:
    static constexpr std::string_view kOpening = "\"$data\": \"";

    // The parsed bytes, or nothing when there was no large data or it was not where expected.
    static std::optional<json> parse(const std::string& bytes) {
        std::vector<Piece> pieces;
        std::string text;
        size_t copied = 0;
        for (size_t at = bytes.find(kOpening); at != std::string::npos; at = bytes.find(kOpening, at)) {
            const size_t from = at + kOpening.size();
            const size_t end = base64End(bytes, from);
            at = end;
            if (end - from < LargeDataSplicer::kLargeData || end == bytes.size() || bytes[end] != '"') continue;
            if (text.empty()) text.reserve(bytes.size() / 2);
            std::string standIn = "sablix-data-" + Uuid::generate().toString();
            text.append(bytes, copied, from - copied);
            text += standIn;
            copied = end;
            pieces.push_back({std::move(standIn), from, end, false});
        }
        if (pieces.empty()) return std::nullopt;
        text.append(bytes, copied, std::string::npos);

        json whole = json::parse(text, nullptr, false);
        if (whole.is_discarded() || !whole.is_object()) return std::nullopt;
        size_t restored = 0;
        for (auto& member : whole.get_ref<json::object_t&>()) {
            json& value = member.second;
            if (!value.is_object() || value.size() != 1) continue;
            const auto data = value.find("$data");
            if (data == value.end() || !data->is_string()) continue;
            auto& held = data->get_ref<std::string&>();
            const auto piece =
                std::find_if(pieces.begin(), pieces.end(), [&](const Piece& p) { return p.standIn == held; });
            // Data under 64 KiB keeps its own text; a stand-in is found in one place only.
            if (piece == pieces.end()) continue;
            if (piece->restored) return std::nullopt;
            held.assign(bytes, piece->from, piece->end - piece->from);
            piece->restored = true;
            ++restored;
        }
        if (restored != pieces.size()) return std::nullopt;
        return whole;
    }

private:
    struct Piece {
        std::string standIn;
        size_t from, end;  // the original text, between its quotes
        bool restored;
    };

    // Where the run of base64 digits and final padding that starts at `from` ends.
    static size_t base64End(const std::string& bytes, size_t from) {
        static constexpr auto kDigit = [] {
            std::array<bool, 256> digit{};
            for (const char c : std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"))
                digit[static_cast<unsigned char>(c)] = true;
            return digit;
        }();
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        size_t end = from;
        while (end < bytes.size() && kDigit[p[end]]) ++end;
        while (end < bytes.size() && p[end] == '=') ++end;
        return end;
    }
};

std::string encodeValues(const DefaultsFile::Values& values, const DefaultsFile::LostValues& lost, bool splice) {
    LargeDataSplicer splicer;
    json object = json::object();
    for (const auto& [key, value] : values) object[key] = splice ? splicer.toJson(value) : value.toJson();
    for (const auto& [key, where] : lost) object[kLostValuesKey][printable(key)] = printable(where);
    std::string text = object.dump(1, '\t');
    if (!splice) return text;
    if (auto filled = splicer.fill(text)) return std::move(*filled);
    return encodeValues(values, lost, false);
}

}  // namespace

DefaultsFile::DefaultsFile(std::filesystem::path path, Log log) : path_(std::move(path)), log_(std::move(log)) {}

DefaultsFile::Stamp DefaultsFile::stamp() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) return {};
    return {true, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            static_cast<int64_t>(st.st_size), static_cast<uint64_t>(st.st_ino)};
}

bool DefaultsFile::refresh() {
    const Stamp now = stamp();
    if (everLoaded_ && now == loaded_ && unreadable_.empty()) return false;
    load();
    return true;
}

void DefaultsFile::load() {
    everLoaded_ = true;
    loaded_ = stamp();
    values_.clear();
    lost_.clear();
    damage_.reset();
    unreadable_.clear();
    unsavedDamagedBytes_.clear();
    if (!loaded_.exists) return;

    std::string bytes;
    if (!readFile(bytes)) {
        // Not the same as an empty file: replacing it would drop every value it holds.
        unreadable_ = std::string("the file cannot be read: ") + std::strerror(errno);
        log_.error("Defaults file %s is damaged: %s", posix::escapedForLog(path_.string()).c_str(),
                   posix::escapedForLog(unreadable_).c_str());
        return;
    }
    if (!bytes.empty()) decode(bytes);
}

bool DefaultsFile::readFile(std::string& bytes) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) return false;
        loaded_ = {};  // removed since the stamp was taken
        return true;
    }
    const bool ok = readWhole(fd, bytes);
    const int readErrno = errno;
    ::close(fd);
    errno = readErrno;
    return ok;
}

void DefaultsFile::decode(const std::string& bytes) {
    std::string problem;
    jsonsalvage::Object object;
    auto lifted = LargeDataLifter::parse(bytes);
    json whole = lifted ? std::move(*lifted) : json::parse(bytes, nullptr, false);
    if (!whole.is_discarded() && whole.is_object()) {
        for (auto& [key, value] : whole.items()) object.members.emplace_back(key, std::move(value));
    } else {
        problem = whole.is_discarded() ? "the file is not valid JSON" : "the file does not hold a JSON object";
        object = jsonsalvage::salvageObject(bytes);
    }

    for (auto& [key, value] : object.members) {
        if (key == kLostValuesKey) {
            if (value.is_object())
                for (const auto& [lostKey, where] : value.items())
                    if (where.is_string()) lost_.insert_or_assign(lostKey, where.get<std::string>());
            continue;
        }
        if (auto decoded = DefaultsValue::fromJson(value)) {
            values_.insert_or_assign(key, std::move(*decoded));
        } else if (auto lenient = DefaultsValue::fromJson(value, DefaultsValue::DataDecoding::lenient)) {
            values_.insert_or_assign(key, std::move(*lenient));
            object.repaired.insert(key);
        } else {
            object.lost.insert(key);
        }
    }
    std::erase_if(object.lost, [&](const std::string& key) { return values_.count(key) > 0; });
    if (problem.empty() && object.lost.empty() && object.repaired.empty() && !object.unnamedLoss) return;

    Damage damage;
    damage.lost = object.lost;
    damage.unnamedLoss = object.unnamedLoss;
    damage.description = problem;
    const auto add = [&](const std::string& part) {
        damage.description += (damage.description.empty() ? "" : "; ") + part;
    };
    for (const auto& key : object.lost) add(quoted(key) + " could not be read");
    for (const auto& key : object.repaired) add(quoted(key) + " was read after repairing damaged characters");
    if (object.unnamedLoss) add("some of it could not be tied to a key");
    damage_ = std::move(damage);
    unsavedDamagedBytes_ = bytes;
    log_.error("Defaults file %s is damaged: %s", posix::escapedForLog(path_.string()).c_str(),
               posix::escapedForLog(damage_->description).c_str());
    backUp();
}

std::optional<std::filesystem::path> DefaultsFile::existingBackupHolding(const std::string& bytes) const {
    const std::string prefix = path_.filename().string() + kBackupInfix;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path_.parent_path(), ec)) {
        if (entry.path().filename().string().rfind(prefix, 0) != 0) continue;
        if (entry.file_size(ec) != bytes.size() || ec) continue;
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        std::string held;
        const bool ok = readWhole(fd, held);
        ::close(fd);
        if (ok && held == bytes) return entry.path();
    }
    return std::nullopt;
}

// Made when the damage is seen, so that the log can say where the copy is; a file read damaged
// again (at each start, until something replaces it) keeps its first copy.
bool DefaultsFile::backUp() {
    std::filesystem::path kept;
    if (auto existing = existingBackupHolding(unsavedDamagedBytes_)) {
        kept = std::move(*existing);
    } else {
        const std::string stem =
            path_.string() + kBackupInfix + std::to_string(static_cast<long long>(::time(nullptr)));
        auto written = writeBackupFile(stem, "", unsavedDamagedBytes_);
        if (!written) {
            log_.error("Cannot keep a copy of the damaged defaults file %s: %s",
                       posix::escapedForLog(path_.string()).c_str(), written.error.c_str());
            return false;
        }
        kept = std::move(written.path);
    }
    if (damage_) damage_->backup = kept;
    unsavedDamagedBytes_.clear();
    log_.notice("The damaged defaults file %s is kept as %s", posix::escapedForLog(path_.string()).c_str(),
                posix::escapedForLog(kept.string()).c_str());
    return true;
}

bool DefaultsFile::write(Values values, LostValues lost) {
    if (!unreadable_.empty()) {
        log_.error("Cannot read defaults file %s; refusing to replace it",
                   posix::escapedForLog(path_.string()).c_str());
        return false;
    }
    std::string bytes;
    try {
        bytes = encodeValues(values, lost, true);
    } catch (const json::exception& e) {
        // Text that is not UTF-8 cannot be written as JSON.
        log_.error("Cannot encode defaults file %s: %s", posix::escapedForLog(path_.string()).c_str(),
                   posix::escapedForLog(e.what()).c_str());
        return false;
    }
    if (!unsavedDamagedBytes_.empty() && !backUp()) {
        log_.error("Cannot back up the damaged defaults file %s; refusing to replace it",
                   posix::escapedForLog(path_.string()).c_str());
        return false;
    }

    if (const auto written = posix::writeFileAtomically(path_, bytes, kFileMode, posix::Existing::replace); !written) {
        log_.error("Cannot write defaults file %s: %s", posix::escapedForLog(path_.string()).c_str(),
                   written.message().c_str());
        return false;
    }
    values_ = std::move(values);
    lost_ = std::move(lost);
    damage_.reset();  // the file on disk is whole again
    loaded_ = stamp();
    return true;
}

}  // namespace platform
