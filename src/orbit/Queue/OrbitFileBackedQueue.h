#pragma once
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "orbit/Utils/Clock.h"

namespace orbit {

// One record file read from the head of the queue: its name, and its bytes.
struct OrbitQueueFile {
    std::string name;
    std::string contents;
};

// A persistent first-in, first-out store of opaque records, one file each in a folder of its own,
// ordered by creation time (then name). A record is written to a temporary file and renamed into
// place, so a kill or a full disk never leaves a truncated record; temporary files and dot-files
// (those of earlier versions) are never records. At construction it carries over records from an
// older queue folder and from the legacy single-file queue (a JSON array of event dictionaries).
// Nothing throws: failures go to the debug log. add may run on any thread while the engine's
// queue loads and deletes.
class OrbitFileBackedQueue {
public:
    OrbitFileBackedQueue(std::filesystem::path queue, const std::vector<std::filesystem::path>& oldQueues,
                         Now now = systemNow);
    OrbitFileBackedQueue(const OrbitFileBackedQueue&) = delete;
    OrbitFileBackedQueue& operator=(const OrbitFileBackedQueue&) = delete;

    const std::filesystem::path& folder() const { return queue_; }
    std::vector<std::string> items() const;
    size_t depth() const;

    // False when the record could not be stored (it is then not queued).
    bool add(const std::string& contents);
    // Up to count records from the head, in queue order; missing and unreadable files are skipped.
    std::vector<OrbitQueueFile> loadFiles(size_t count);
    // Removes exactly these names (and their files), wherever they stand in the queue.
    void deleteFiles(const std::vector<std::string>& names);
    // Removes up to count records from the head.
    void deleteFiles(size_t count);
    std::vector<OrbitQueueFile> peek(size_t count) { return loadFiles(count); }
    void pop(size_t count) { deleteFiles(count); }
    // Removes the record at this position; a position past the end changes nothing.
    void remove(size_t index);
    // Deletes every record and leaves an empty folder.
    void clear();

private:
    void setup(const std::vector<std::filesystem::path>& oldQueues);
    void migrateFolder(const std::filesystem::path& old);
    void migrateLegacyFile(const std::filesystem::path& legacy);
    bool writeRecord(const std::string& name, const std::string& contents, std::string* error);

    const std::filesystem::path queue_;
    const Now now_;
    mutable std::mutex itemsLock_;
    std::vector<std::string> items_;
};

}  // namespace orbit
