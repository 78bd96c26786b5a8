#include "platform/FileDefaults.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Paths.h"
#include "platform/FileWriting.h"

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
    if (const auto* array = value.asArray())
        return std::any_of(array->begin(), array->end(), holdsNonFiniteNumber);
    if (const auto* object = value.asObject())
        return std::any_of(object->begin(), object->end(), [](const auto& e) { return holdsNonFiniteNumber(e.second); });
    return false;
}

}  // namespace

FileDefaults::FileDefaults(std::filesystem::path file) : file_(std::move(file)), log_(kAppSubsystem, "Defaults") {}

FileDefaults& FileDefaults::standard() {
    static FileDefaults defaults(Paths::defaultsFile());
    return defaults;
}

FileDefaults::Stamp FileDefaults::stamp() const {
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0) return {};
    return {true, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            static_cast<int64_t>(st.st_size), static_cast<uint64_t>(st.st_ino)};
}

void FileDefaults::reloadIfChanged() const {
    const Stamp now = stamp();
    if (everLoaded_ && now == loaded_ && !unreadable_) return;
    load();
}

void FileDefaults::load() const {
    everLoaded_ = true;
    loaded_ = stamp();
    values_.clear();
    damaged_ = false;
    damagedBytes_.clear();
    unreadable_ = false;
    loadError_.clear();
    if (!loaded_.exists) return;

    std::string bytes;
    if (!readFile(bytes)) {
        // Not the same as an empty store: replacing it would drop every value it holds.
        unreadable_ = true;
        loadError_ = std::string("the file cannot be read: ") + std::strerror(errno);
        log_.error("Defaults file %s is damaged: %s", file_.c_str(), loadError_.c_str());
        return;
    }
    if (bytes.empty()) return;

    nlohmann::json json = nlohmann::json::parse(bytes, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        loadError_ = json.is_discarded() ? "the file is not valid JSON" : "the file does not hold a JSON object";
    } else {
        for (const auto& [key, value] : json.items()) {
            if (auto decoded = DefaultsValue::fromJson(value)) {
                values_.emplace(key, std::move(*decoded));
            } else {
                loadError_ = "the value under \"" + key + "\" has an unknown form";
            }
        }
    }
    if (!loadError_.empty()) {
        damaged_ = true;
        damagedBytes_ = bytes;
        log_.error("Defaults file %s is damaged: %s", file_.c_str(), loadError_.c_str());
    }
}

bool FileDefaults::readFile(std::string& bytes) const {
    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) return false;
        loaded_ = {};  // removed since the stamp was taken
        return true;
    }
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int readErrno = errno;
            ::close(fd);
            errno = readErrno;
            return false;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

std::string FileDefaults::loadError() const {
    std::lock_guard lock(mutex_);
    reloadIfChanged();
    return loadError_;
}

std::optional<DefaultsValue> FileDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    reloadIfChanged();
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

bool FileDefaults::set(const std::string& key, const DefaultsValue& value) {
    if (holdsNonFiniteNumber(value)) {
        log_.error("Cannot store a value under \"%s\": it holds a number that is not finite", key.c_str());
        return false;
    }
    std::lock_guard lock(mutex_);
    std::error_code ec;
    std::filesystem::create_directories(file_.parent_path(), ec);
    FileLock fileLock(file_.string() + ".lock");
    reloadIfChanged();
    auto next = values_;
    next.insert_or_assign(key, value);
    if (!write(next)) return false;
    values_ = std::move(next);
    loaded_ = stamp();
    return true;
}

bool FileDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    FileLock fileLock(file_.string() + ".lock");
    reloadIfChanged();
    if (!values_.count(key)) return true;
    auto next = values_;
    next.erase(key);
    if (!write(next)) return false;
    values_ = std::move(next);
    loaded_ = stamp();
    return true;
}

bool FileDefaults::backUpDamagedFile() {
    const auto stem = file_.string() + ".damaged-" + std::to_string(static_cast<long long>(::time(nullptr)));
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Never over an earlier backup: each may hold values the others lack.
        const auto backup = stem + (attempt ? "-" + std::to_string(attempt) : "");
        const int fd = ::open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        const bool ok = writeAll(fd, damagedBytes_) && ::fsync(fd) == 0;
        ::close(fd);
        if (!ok) {
            ::unlink(backup.c_str());
            return false;
        }
        log_.notice("Kept the damaged defaults file as %s", backup.c_str());
        damaged_ = false;
        damagedBytes_.clear();
        return true;
    }
    return false;
}

bool FileDefaults::write(const std::map<std::string, DefaultsValue>& values) {
    if (unreadable_) {
        log_.error("Cannot read defaults file %s; refusing to replace it", file_.c_str());
        return false;
    }
    std::string bytes;
    try {
        nlohmann::json json = nlohmann::json::object();
        for (const auto& [k, v] : values) json[k] = v.toJson();
        bytes = json.dump(1, '\t');
    } catch (const nlohmann::json::exception& e) {
        // Text that is not UTF-8 cannot be written as JSON.
        log_.error("Cannot encode defaults file %s: %s", file_.c_str(), e.what());
        return false;
    }
    if (damaged_ && !backUpDamagedFile()) {
        log_.error("Cannot back up the damaged defaults file; refusing to replace it");
        return false;
    }

    std::string tempPath = file_.string() + ".tmp-XXXXXX";
    const int fd = ::mkstemp(tempPath.data());
    if (fd < 0) {
        log_.error("Cannot write defaults file %s: %s", file_.c_str(), std::strerror(errno));
        return false;
    }
    ::fchmod(fd, 0600);
    bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(tempPath.c_str(), file_.c_str()) == 0;
    if (!ok) {
        log_.error("Cannot write defaults file %s: %s", file_.c_str(), std::strerror(errno));
        ::unlink(tempPath.c_str());
        return false;
    }
    loadError_.clear();  // the file on disk is whole again
    // Make the rename itself durable.
    const int dir = ::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace platform
