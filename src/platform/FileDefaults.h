#pragma once
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Defaults.h"
#include "platform/DefaultsFile.h"
#include "platform/Log.h"

namespace platform {

// The defaults store as JSON files in one folder: defaults.json, and beside it one file for each
// separate key the caller names (values that can be large, such as the snippet library), so
// that changing any other value never rewrites them. Writes are atomic, under an advisory lock
// shared by all the files. A file that does not read cleanly keeps what can be read of it and is
// copied beside itself at once; the damage stays reported (loadError) for the life of the
// store, and a separate key whose value was lost stays reported at later starts until it is
// stored again. A value of a separate key still held in defaults.json (as stores written before
// it had a file of its own) is read from there, and moved to its own file by the next write.
class FileDefaults final : public Defaults {
public:
    FileDefaults(std::filesystem::path file, const std::set<std::string>& separateKeys);

    std::optional<DefaultsValue> object(const std::string& key) const override;
    bool set(const std::string& key, const DefaultsValue& value) override;
    bool remove(const std::string& key) override;
    std::vector<std::string> keys() const override;
    std::filesystem::path location() const override { return main_.path(); }
    std::string loadError() const override;

    // For the user: that stored values were damaged and where the copies of the damaged files
    // are; empty when there is nothing to tell.
    std::string damageNotice() const;
    // The file of a separate key.
    std::filesystem::path separateFile(const std::string& key) const;

private:
    void refreshAll() const;
    void recordDamage(DefaultsFile& file, const std::set<std::string>& keys) const;
    bool holds(const std::string& key) const;
    // Sets (value) or removes (no value) a key of defaults.json.
    bool writeMain(const std::string& key, const DefaultsValue* value);
    std::vector<std::string> lostValueReports() const;

    Log log_;
    mutable std::recursive_mutex mutex_;
    mutable DefaultsFile main_;
    mutable std::map<std::string, DefaultsFile> separate_;  // by key
    mutable std::vector<std::string> notices_;              // every damage this store has seen
    mutable std::set<std::string> backups_;                 // where copies of damaged files are
};

}  // namespace platform
