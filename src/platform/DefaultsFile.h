#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "platform/DefaultsValue.h"
#include "platform/Log.h"

namespace platform {

// One JSON file of the defaults store: typed values under string keys, read again whenever the
// file changes on disk, replaced atomically (temporary file, fsync, rename). A file that does not
// read cleanly keeps what can be read of it, value by value, and a copy of its bytes is made
// beside it as soon as the damage is seen. A file that exists but cannot be read is never
// replaced. Not thread-safe: its owner locks.
class DefaultsFile {
public:
    using Values = std::map<std::string, DefaultsValue>;
    // Keys whose value was lost to damage, each with where a copy of the damaged bytes is kept.
    // They are stored in the file itself, so a later start still knows the value was lost.
    using LostValues = std::map<std::string, std::string>;

    struct Damage {
        std::string description;
        std::set<std::string> lost;    // keys whose value could not be read
        bool unnamedLoss = false;      // bytes whose key could not be read either
        std::filesystem::path backup;  // empty when no copy could be made yet
    };

    DefaultsFile(std::filesystem::path path, Log log);

    const std::filesystem::path& path() const { return path_; }
    // Reads the file when it changed since the last read; true when it was read now.
    bool refresh();
    const Values& values() const { return values_; }
    const LostValues& lostValues() const { return lost_; }
    void noteLost(const std::string& key, const std::string& backup) { lost_.emplace(key, backup); }
    // What the last read found wrong, none when the file read cleanly.
    const std::optional<Damage>& damage() const { return damage_; }
    // Why the file cannot be read, empty when it can.
    const std::string& unreadable() const { return unreadable_; }
    // False when the values could not be made durable (the file then holds what it held).
    bool write(Values values, LostValues lost);

private:
    struct Stamp {
        bool exists = false;
        int64_t mtimeNs = 0;
        int64_t size = 0;
        uint64_t inode = 0;
        bool operator==(const Stamp&) const = default;
    };

    Stamp stamp() const;
    void load();
    bool readFile(std::string& bytes);
    void decode(const std::string& bytes);
    bool backUp();
    std::optional<std::filesystem::path> existingBackupHolding(const std::string& bytes) const;

    std::filesystem::path path_;
    Log log_;
    bool everLoaded_ = false;
    Stamp loaded_;
    Values values_;
    LostValues lost_;
    std::optional<Damage> damage_;
    std::string unreadable_;
    std::string unsavedDamagedBytes_;  // a damaged file not yet copied: it must not be replaced
};

}  // namespace platform
