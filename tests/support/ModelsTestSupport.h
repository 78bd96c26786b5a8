#pragma once
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace modelstest {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sablix-models-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

    std::vector<std::string> filesStartingWith(const std::string& prefix) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            const auto name = entry.path().filename().string();
            if (name.rfind(prefix, 0) == 0) names.push_back(name);
        }
        return names;
    }

private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Collects the log records emitted while it lives.
class LogCapture {
public:
    LogCapture() {
        platform::setLogSink([this](const platform::LogRecord& r) {
            std::lock_guard lock(mutex_);
            records_.push_back(r);
        });
    }
    ~LogCapture() { platform::setLogSink(nullptr); }

    std::vector<std::string> messages(const std::string& category) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& r : records_)
            if (r.category == category) out.push_back(r.message);
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<platform::LogRecord> records_;
};

}  // namespace modelstest
