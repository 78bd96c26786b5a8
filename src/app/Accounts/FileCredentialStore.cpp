#include "Accounts/FileCredentialStore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Accounts/KeychainError.h"
#include "platform/Utf8.h"
#include "posix/AtomicFile.h"
#include "posix/PrivateFiles.h"
#include "posix/LogText.h"

namespace sablix {
namespace {

int32_t negated(int error) { return -static_cast<int32_t>(error ? error : EIO); }

bool readAll(int fd, std::string& out) {
    char buffer[4096];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

FileCredentialStore::FileCredentialStore(std::filesystem::path folder, std::string serviceName)
    : folder_(std::move(folder)), file_(folder_ / kFileName), serviceName_(std::move(serviceName)) {}

std::optional<nlohmann::json> FileCredentialStore::load() const {
    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT) return nlohmann::json::object();
        return std::nullopt;
    }
    // A file copied in from elsewhere may have come with looser permissions.
    struct stat status {};
    if (::fstat(fd, &status) == 0 && (status.st_mode & 077) != 0) ::fchmod(fd, posix::kPrivateFileMode);
    std::string bytes;
    const bool read = readAll(fd, bytes);
    const int readError = errno;
    ::close(fd);
    if (!read) {
        errno = readError;
        return std::nullopt;
    }
    auto contents = nlohmann::json::parse(bytes, nullptr, false);
    if (!contents.is_object()) {
        logger_.error("Credential file %s holds no JSON object; starting afresh",
                      posix::escapedForLog(file_.string()).c_str());
        return nlohmann::json::object();
    }
    return contents;
}

int FileCredentialStore::prepareFolder() const { return posix::createPrivateFolder(folder_).error; }

int FileCredentialStore::store(const nlohmann::json& contents) const {
    if (const int error = prepareFolder()) return error;
    return posix::writeFileAtomically(file_, contents.dump(), posix::kPrivateFileMode, posix::Existing::replace).error;
}

void FileCredentialStore::saveString(const std::string& value, const std::string& account) {
    if (!platform::utf8::isValid(value)) throw KeychainError::unexpectedData();
    auto contents = load();
    if (!contents) {
        const int error = errno;
        logger_.error("Credential file %s cannot be read: %s", file_.c_str(), std::strerror(error));
        throw KeychainError::saveFailed(negated(error));
    }
    auto& service = (*contents)[serviceName_];
    if (!service.is_object()) service = nlohmann::json::object();
    service[account] = value;
    if (const int error = store(*contents)) {
        logger_.error("Credential file %s cannot be written: %s", file_.c_str(), std::strerror(error));
        throw KeychainError::saveFailed(negated(error));
    }
}

std::optional<std::string> FileCredentialStore::readString(const std::string& account) {
    const auto contents = load();
    if (!contents) return std::nullopt;
    const auto service = contents->find(serviceName_);
    if (service == contents->end() || !service->is_object()) return std::nullopt;
    const auto value = service->find(account);
    if (value == service->end() || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

void FileCredentialStore::deleteString(const std::string& account) {
    auto contents = load();
    if (!contents) {
        const int error = errno;
        logger_.error("Credential file %s cannot be read: %s", file_.c_str(), std::strerror(error));
        throw KeychainError::deleteFailed(negated(error));
    }
    const auto service = contents->find(serviceName_);
    if (service == contents->end() || !service->is_object() || service->erase(account) == 0) return;
    if (const int error = store(*contents)) {
        logger_.error("Credential file %s cannot be written: %s", file_.c_str(), std::strerror(error));
        throw KeychainError::deleteFailed(negated(error));
    }
}

}  // namespace sablix
