#pragma once
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace bench {

// A fresh folder under /tmp for one benchmark's files, removed with everything in it.
struct TempFolder {
    std::filesystem::path path;
    explicit TempFolder(const std::string& name) {
        std::string pattern = "/tmp/sablix-" + name + "-XXXXXX";
        path = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

}  // namespace bench
