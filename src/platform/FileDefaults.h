#pragma once
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "platform/Defaults.h"
#include "platform/Log.h"

namespace platform {

// The defaults store as one JSON file. Every write replaces the file atomically (temporary file,
// fsync, rename) under an advisory lock, so a reader or a crash never sees half a file. A file
// that does not parse is reported and read as empty; before the first write would replace it,
// its bytes are kept in a backup beside it. A file that exists but cannot be read is never
// replaced.
class FileDefaults final : public Defaults {
public:
    explicit FileDefaults(std::filesystem::path file);

    // The user's store at $XDG_CONFIG_HOME/sablix/defaults.json.
    static FileDefaults& standard();

    std::optional<DefaultsValue> object(const std::string& key) const override;
    bool set(const std::string& key, const DefaultsValue& value) override;
    bool remove(const std::string& key) override;
    std::filesystem::path location() const override { return file_; }

    // The description of the last load failure, empty when the file read cleanly.
    std::string loadError() const override;

private:
    struct Stamp {
        bool exists = false;
        int64_t mtimeNs = 0;
        int64_t size = 0;
        uint64_t inode = 0;
        bool operator==(const Stamp&) const = default;
    };

    Stamp stamp() const;
    void reloadIfChanged() const;
    void load() const;
    bool readFile(std::string& bytes) const;
    bool write(const std::map<std::string, DefaultsValue>& values);
    bool backUpDamagedFile();

    std::filesystem::path file_;
    Log log_;
    mutable std::recursive_mutex mutex_;
    mutable std::map<std::string, DefaultsValue> values_;
    mutable Stamp loaded_;
    mutable bool everLoaded_ = false;
    mutable std::string damagedBytes_;
    mutable bool damaged_ = false;
    mutable bool unreadable_ = false;
    mutable std::string loadError_;
};

}  // namespace platform
