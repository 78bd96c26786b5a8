#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Accounts/CredentialStore.h"
#include "platform/Log.h"

namespace sablix {

// The credential store where no Secret Service answers: one JSON file, {service: {account:
// value}}, that only its owner may read (0600, in a 0700 folder). Every change writes a new file
// beside it and renames it into place, so a crash leaves the old file or the new one, and the
// secrets are never readable by others, not even while being written.
class FileCredentialStore final : public CredentialStore {
public:
    static constexpr const char* kFileName = "credentials.json";

    explicit FileCredentialStore(std::filesystem::path folder, std::string serviceName = kServiceName);

    void saveString(const std::string& value, const std::string& account) override;
    std::optional<std::string> readString(const std::string& account) override;
    void deleteString(const std::string& account) override;

    const std::filesystem::path& filePath() const { return file_; }

private:
    // The whole file; an empty object when there is none or it holds no JSON object. Sets errno
    // and gives none when the file exists but cannot be read.
    std::optional<nlohmann::json> load() const;
    // 0, or the errno of the failing step.
    int store(const nlohmann::json& contents) const;
    int prepareFolder() const;

    const std::filesystem::path folder_;
    const std::filesystem::path file_;
    const std::string serviceName_;
    platform::Log logger_ = platform::appLog("KeychainManager");
};

}  // namespace sablix
