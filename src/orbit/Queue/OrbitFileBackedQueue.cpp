#include "orbit/Queue/OrbitFileBackedQueue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <system_error>
#include <tuple>
#include <unistd.h>

#include "orbit/Utils/FileUtils.h"
#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/JSONUtils.h"
#include "orbit/Utils/OrbitAPIDateFormatter.h"
#include "orbit/Utils/Uuid.h"
#include "posix/AtomicFile.h"
#include "posix/PrivateFiles.h"

namespace orbit {

namespace {

constexpr mode_t kRecordMode = posix::kPrivateFileMode;

// When a file was made, in nanoseconds: its birth time where the file system keeps one, else its
// last change (a record is written once and renamed, so that is when it was made). Zero, the
// distant past, when neither can be read.
int64_t creationNanos(int folder, const char* name) {
    struct statx info {};
    if (statx(folder, name, AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &info) != 0) return 0;
    const auto& time = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime;
    return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

bool isRegularFile(int folder, const dirent& entry) {
    if (entry.d_type == DT_REG) return true;
    if (entry.d_type != DT_UNKNOWN) return false;
    struct stat info {};
    return fstatat(folder, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

std::string errorText(int code) { return std::error_code(code, std::generic_category()).message(); }

std::optional<std::string> readWhole(const std::filesystem::path& path, std::string* error, bool* missing) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *missing = errno == ENOENT;
        *error = errorText(errno);
        return std::nullopt;
    }
    std::string contents;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            *error = errorText(errno);
            ::close(fd);
            return std::nullopt;
        }
        contents.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return contents;
}

}  // namespace

OrbitFileBackedQueue::OrbitFileBackedQueue(std::filesystem::path queue,
                                           const std::vector<std::filesystem::path>& oldQueues, Now now)
    : queue_(std::move(queue)), now_(std::move(now)) {
    setup(oldQueues);
}

std::vector<std::string> OrbitFileBackedQueue::items() const {
    std::lock_guard lock(itemsLock_);
    return items_;
}

size_t OrbitFileBackedQueue::depth() const {
    std::lock_guard lock(itemsLock_);
    return items_.size();
}

void OrbitFileBackedQueue::setup(const std::vector<std::filesystem::path>& oldQueues) {
    if (const auto made = posix::createPrivateFolder(queue_); !made)
        hedgeLog("Error trying to create caching folder " + made.message());

    for (const auto& old : oldQueues) {
        std::error_code statusError;
        const auto status = std::filesystem::symlink_status(old, statusError);
        if (!std::filesystem::exists(status)) continue;
        if (std::filesystem::is_directory(status))
            migrateFolder(old);
        else
            migrateLegacyFile(old);
    }

    posix::removeAbandonedTemporaries(queue_);
    DIR* folder = ::opendir(queue_.c_str());
    if (!folder) {
        hedgeLog("Failed to load files for queue " + errorText(errno));
        return;
    }
    const int fd = ::dirfd(folder);
    std::vector<std::tuple<int64_t, std::string>> entries;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] == '.') {
            // A temporary file left by a write that never finished: never a record.
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                ::unlinkat(fd, entry->d_name, 0);
            continue;
        }
        // A write under way (the abandoned ones went above) is no record yet.
        if (posix::temporaryWriter(entry->d_name)) continue;
        if (!isRegularFile(fd, *entry)) continue;
        entries.emplace_back(creationNanos(fd, entry->d_name), entry->d_name);
    }
    ::closedir(folder);
    std::sort(entries.begin(), entries.end());
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (auto& [created, name] : entries) names.push_back(std::move(name));
    std::lock_guard lock(itemsLock_);
    items_ = std::move(names);
}

void OrbitFileBackedQueue::migrateFolder(const std::filesystem::path& old) {
    std::error_code error;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(old, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().filename().string());
    if (error) hedgeLog("Failed to read queue folder " + error.message());
    for (const auto& name : names) {
        if (name.starts_with(".")) continue;
        std::error_code moveError;
        std::filesystem::rename(old / name, queue_ / name, moveError);
        if (moveError) hedgeLog("Failed to migrate file " + name + ": " + moveError.message());
    }
    deleteSafely(old);
}

void OrbitFileBackedQueue::migrateLegacyFile(const std::filesystem::path& legacy) {
    std::string error;
    bool missing = false;
    const auto bytes = readWhole(legacy, &error, &missing);
    std::optional<nlohmann::json> parsed;
    if (!bytes)
        hedgeLog("Failed to migrate queue " + error);
    else if (!(parsed = readJSON(*bytes, &error)))
        hedgeLog("Failed to migrate queue " + error);
    else if (!parsed->is_array())
        hedgeLog("Failed to migrate queue: invalid data format");
    else {
        for (const auto& element : *parsed) {
            if (!element.is_object()) continue;
            const auto stamp = element.contains("timestamp") && element["timestamp"].is_string()
                                   ? element["timestamp"].get<std::string>()
                                   : toISO8601String(now_());
            const auto date = toISO8601Date(stamp).value_or(now_());
            const double seconds = static_cast<double>(date.time_since_epoch().count()) / 1e6;
            const auto json = writeJSON(element, &error);
            if (!json) {
                hedgeLog("Failed to migrate queue " + error);
                break;
            }
            // Two events of one millisecond would share a name; the later gets a suffix.
            const auto base = shortestDecimal(seconds);
            auto name = base;
            std::error_code existsError;
            for (int suffix = 1; std::filesystem::exists(queue_ / name, existsError); ++suffix)
                name = base + "-" + std::to_string(suffix);
            if (!writeRecord(name, *json, &error)) {
                hedgeLog("Failed to migrate queue " + error);
                break;
            }
        }
    }
    deleteSafely(legacy);
}

bool OrbitFileBackedQueue::writeRecord(const std::string& name, const std::string& contents, std::string* error) {
    const auto written = posix::writeFileAtomically(queue_ / name, contents, kRecordMode, posix::Existing::replace);
    if (!written) *error = written.message();
    return static_cast<bool>(written);
}

bool OrbitFileBackedQueue::add(const std::string& contents) {
    const auto name = Uuid::v7().toString();
    std::string error;
    if (!writeRecord(name, contents, &error)) {
        hedgeLog("Could not write file " + error);
        return false;
    }
    std::lock_guard lock(itemsLock_);
    items_.push_back(name);
    return true;
}

std::vector<OrbitQueueFile> OrbitFileBackedQueue::loadFiles(size_t count) {
    std::vector<OrbitQueueFile> result;
    if (count == 0) return result;
    for (const auto& name : items()) {
        const auto url = queue_ / name;
        std::string error;
        bool missing = false;
        auto contents = readWhole(url, &error, &missing);
        if (!contents && missing) {
            hedgeLog("File " + url.string() + " does not exist");
            continue;
        }
        if (!contents) {
            hedgeLog("File " + url.string() + " is corrupted " + error);
            deleteSafely(url);
            continue;
        }
        result.push_back({name, std::move(*contents)});
        if (result.size() >= count) break;
    }
    return result;
}

void OrbitFileBackedQueue::deleteFiles(const std::vector<std::string>& names) {
    std::vector<std::string> removed;
    {
        std::lock_guard lock(itemsLock_);
        for (const auto& name : names) {
            const auto found = std::find(items_.begin(), items_.end(), name);
            if (found == items_.end()) continue;
            items_.erase(found);
            removed.push_back(name);
        }
    }
    for (const auto& name : removed) deleteSafely(queue_ / name);
}

void OrbitFileBackedQueue::deleteFiles(size_t count) {
    for (size_t i = 0; i < count; ++i) {
        std::string name;
        {
            std::lock_guard lock(itemsLock_);
            if (items_.empty()) return;
            name = std::move(items_.front());
            items_.erase(items_.begin());
        }
        deleteSafely(queue_ / name);
    }
}

void OrbitFileBackedQueue::remove(size_t index) {
    std::string name;
    {
        std::lock_guard lock(itemsLock_);
        if (index >= items_.size()) return;
        name = std::move(items_[index]);
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    }
    deleteSafely(queue_ / name);
}

void OrbitFileBackedQueue::clear() {
    deleteSafely(queue_);
    setup({});
}

}  // namespace orbit
