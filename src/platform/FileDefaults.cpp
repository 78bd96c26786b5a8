#include "platform/FileDefaults.h"

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/Paths.h"
#include "posix/PrivateFiles.h"

namespace platform {
namespace {

// Holds an advisory lock on a file beside the store for the length of a read-modify-write, so
// that two processes writing different keys do not drop each other's values.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    ~FileLock() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

// JSON has no spelling for NaN or infinity: such a number would be written as null and make the
// whole file read as damaged.
bool holdsNonFiniteNumber(const DefaultsValue& value) {
    if (const double* d = value.asDouble()) return !std::isfinite(*d);
    if (const Date* date = value.asDate()) return !std::isfinite(date->secondsSince2001);
    if (const auto* array = value.asArray()) return std::any_of(array->begin(), array->end(), holdsNonFiniteNumber);
    if (const auto* object = value.asObject())
        return std::any_of(object->begin(), object->end(),
                           [](const auto& e) { return holdsNonFiniteNumber(e.second); });
    return false;
}

const char* const kDamageNoticeText = "Some of your snippets or settings could not be read.";
const char* const kDamageNoticeCopies = " A copy of the damaged file is kept as ";
}  // namespace

FileDefaults::FileDefaults(std::filesystem::path file, const std::set<std::string>& separateKeys)
    : log_(kAppSubsystem, "Defaults"), main_(file, log_) {
    for (const auto& key : separateKeys) separate_.try_emplace(key, separateFile(key), log_);
}

std::filesystem::path FileDefaults::separateFile(const std::string& key) const {
    const auto& file = main_.path();
    return file.parent_path() / (file.stem().string() + "." + key + file.extension().string());
}

void FileDefaults::refreshAll() const {
    const bool mainRead = main_.refresh();
    for (auto& [key, file] : separate_)
        if (file.refresh()) recordDamage(file, {key});
    // After the separate files, so that what they hold is known.
    if (mainRead) {
        std::set<std::string> keys;
        for (const auto& entry : separate_) keys.insert(entry.first);
        recordDamage(main_, keys);
    }
}

void FileDefaults::recordDamage(DefaultsFile& file, const std::set<std::string>& keys) const {
    std::string notice;
    if (!file.unreadable().empty()) {
        notice = file.path().string() + ": " + file.unreadable();
    } else if (const auto& damage = file.damage()) {
        const std::string backup = damage->backup.string();
        notice = file.path().string() + " was damaged (" + damage->description + "); " +
                 (backup.empty() ? "no copy of it could be kept" : "a copy is kept as " + backup);
        if (!backup.empty()) backups_.insert(backup);
        // Once the file is rewritten, such a key would read as never stored (and, for the
        // library, as a fresh installation): the file keeps a record until it is stored again.
        for (const auto& key : keys)
            if ((damage->lost.count(key) || damage->unnamedLoss) && !holds(key)) file.noteLost(key, backup);
    } else {
        return;
    }
    if (std::find(notices_.begin(), notices_.end(), notice) == notices_.end()) notices_.push_back(notice);
}

bool FileDefaults::holds(const std::string& key) const {
    if (auto own = separate_.find(key); own != separate_.end() && own->second.values().count(key)) return true;
    return main_.values().count(key) > 0;
}

std::vector<std::string> FileDefaults::lostValueReports() const {
    std::vector<std::string> reports;
    const auto report = [&](const DefaultsFile& file) {
        for (const auto& [key, backup] : file.lostValues()) {
            if (holds(key) || backups_.count(backup)) continue;  // stored again, or told already
            reports.push_back("the value under \"" + key + "\" was lost to damage earlier" +
                              (backup.empty() ? std::string() : "; a copy is kept as " + backup));
        }
    };
    report(main_);
    for (const auto& entry : separate_) report(entry.second);
    return reports;
}

std::string FileDefaults::loadError() const {
    std::lock_guard lock(mutex_);
    refreshAll();
    std::string error;
    const auto add = [&](const std::string& part) { error += (error.empty() ? "" : "; ") + part; };
    for (const auto& notice : notices_) add(notice);
    for (const auto& report : lostValueReports()) add(report);
    return error;
}

std::string FileDefaults::damageNotice() const {
    std::lock_guard lock(mutex_);
    if (loadError().empty()) return {};
    std::set<std::string> copies = backups_;
    const auto collect = [&](const DefaultsFile& file) {
        for (const auto& [key, backup] : file.lostValues())
            if (!holds(key) && !backup.empty()) copies.insert(backup);
    };
    collect(main_);
    for (const auto& entry : separate_) collect(entry.second);
    std::string notice = kDamageNoticeText;
    if (copies.empty()) return notice;
    std::string list;
    for (const auto& copy : copies) list += (list.empty() ? "" : ", ") + copy;
    return notice + kDamageNoticeCopies + list + ".";
}

std::optional<DefaultsValue> FileDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    refreshAll();
    if (auto own = separate_.find(key); own != separate_.end()) {
        const auto& values = own->second.values();
        if (auto it = values.find(key); it != values.end()) return it->second;
    }
    const auto& values = main_.values();
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> FileDefaults::keys() const {
    std::lock_guard lock(mutex_);
    refreshAll();
    std::set<std::string> keys;
    for (const auto& entry : main_.values()) keys.insert(entry.first);
    for (const auto& [key, file] : separate_)
        if (file.values().count(key)) keys.insert(key);
    return {keys.begin(), keys.end()};
}

bool FileDefaults::set(const std::string& key, const DefaultsValue& value) {
    // Checked first: the other checks walk the value.
    if (value.tooDeep()) {
        log_.error("Cannot store a value under \"%s\": it is nested deeper than %zu levels", key.c_str(),
                   DefaultsValue::kMaxNesting);
        return false;
    }
    if (holdsNonFiniteNumber(value)) {
        log_.error("Cannot store a value under \"%s\": it holds a number that is not finite", key.c_str());
        return false;
    }
    std::lock_guard lock(mutex_);
    posix::createPrivateFolder(main_.path().parent_path());
    FileLock fileLock(main_.path().string() + ".lock");
    refreshAll();
    auto own = separate_.find(key);
    if (own == separate_.end()) return writeMain(key, &value);

    DefaultsFile& file = own->second;
    // Without the value it replaces, which can be megabytes.
    DefaultsFile::Values values;
    for (const auto& entry : file.values())
        if (entry.first != key) values.insert(values.end(), entry);
    values.emplace(key, value);
    auto lost = file.lostValues();
    lost.erase(key);
    if (!file.write(std::move(values), std::move(lost))) return false;
    // The value is durable in its own file, which is read first; an older copy in defaults.json
    // (or a record of its loss) goes with the next write that succeeds.
    if (main_.values().count(key) || main_.lostValues().count(key)) writeMain(key, nullptr);
    return true;
}

bool FileDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    FileLock fileLock(main_.path().string() + ".lock");
    refreshAll();
    if (auto own = separate_.find(key); own != separate_.end()) {
        DefaultsFile& file = own->second;
        if (file.values().count(key) || file.lostValues().count(key)) {
            auto values = file.values();
            values.erase(key);
            auto lost = file.lostValues();
            lost.erase(key);
            if (!file.write(std::move(values), std::move(lost))) return false;
        }
    }
    if (!main_.values().count(key) && !main_.lostValues().count(key)) return true;
    return writeMain(key, nullptr);
}

bool FileDefaults::writeMain(const std::string& key, const DefaultsValue* value) {
    auto values = main_.values();
    auto lost = main_.lostValues();
    if (value)
        values.insert_or_assign(key, *value);
    else
        values.erase(key);
    lost.erase(key);
    // A separate key still held here moves to its own file first, so it is never without a copy.
    for (auto& [separateKey, file] : separate_) {
        auto held = values.find(separateKey);
        if (held == values.end()) continue;
        if (!file.values().count(separateKey)) {
            auto moved = file.values();
            moved.insert_or_assign(separateKey, held->second);
            auto fileLost = file.lostValues();
            fileLost.erase(separateKey);
            if (!file.write(std::move(moved), std::move(fileLost))) continue;
        }
        values.erase(held);
    }
    std::erase_if(lost, [&](const auto& entry) {
        if (values.count(entry.first)) return true;
        auto own = separate_.find(entry.first);
        return own != separate_.end() && own->second.values().count(entry.first) > 0;
    });
    return main_.write(std::move(values), std::move(lost));
}

}  // namespace platform
