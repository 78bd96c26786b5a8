#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "Models/Auth/FileCredentialStore.h"
#include "Models/Auth/KeychainError.h"
#include "Models/Auth/SecretServiceCredentialStore.h"
#include "PrivateSecretService.h"
#include "support/LogCapture.h"
#include "support/ModelsTestSupport.h"

using sablix::CredentialStore;
using sablix::FileCredentialStore;
using sablix::KeychainError;
using sablix::SecretServiceCredentialStore;

namespace {

// What every store must do, with a store of another service in the same place beside it.
// afterWrite runs after every change, for checks of the store's own.
void expectStoreContract(CredentialStore& store, CredentialStore& otherService,
                         const std::function<void()>& afterWrite) {
    otherService.saveString("theirs", "auth_access_token");
    EXPECT_EQ(store.readString("auth_access_token"), std::nullopt) << "another service's item was seen";

    store.saveString("first", "auth_access_token");
    afterWrite();
    store.saveString("second ✓", "auth_access_token");
    afterWrite();
    store.saveString("", "auth_user_id");
    afterWrite();
    EXPECT_EQ(store.readString("auth_access_token"), "second ✓");
    EXPECT_EQ(store.readString("auth_user_id"), "") << "an empty value is a value";

    try {
        store.saveString("\xff\xfe", "auth_user_data");
        ADD_FAILURE() << "bytes that are not UTF-8 were stored";
    } catch (const KeychainError& error) {
        EXPECT_EQ(error.kind(), KeychainError::Kind::unexpectedData);
        EXPECT_STREQ(error.what(), "Unexpected Keychain data format");
    }
    EXPECT_EQ(store.readString("auth_user_data"), std::nullopt);

    store.deleteString("auth_access_token");
    afterWrite();
    store.deleteString("auth_access_token");
    store.deleteString("never_saved");
    EXPECT_EQ(store.readString("auth_access_token"), std::nullopt);
    EXPECT_EQ(store.readString("auth_user_id"), "") << "a deletion took another account with it";
    EXPECT_EQ(otherService.readString("auth_access_token"), "theirs") << "a deletion reached another service";
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// Sets an environment variable, or unsets it for a null value, until the end of the scope.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnvironment() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(FileCredentialStoreTest, KeepsItemsPrivateAtEveryWriteAndReportsTheSystemsError) {
    modelstest::TempDir home;
    const auto folder = home.path() / "data" / "Sablix";
    FileCredentialStore store(folder);
    FileCredentialStore otherService(folder, "com.example.other");
    // With no umask to help, the file must still never be readable by others.
    const mode_t oldMask = ::umask(0);
    expectStoreContract(store, otherService, [&] {
        EXPECT_EQ(modeOf(store.filePath()), 0600u);
        EXPECT_EQ(modeOf(folder), 0700u);
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            EXPECT_EQ(entry.path().filename(), FileCredentialStore::kFileName) << "a temporary file was left behind";
    });
    ::umask(oldMask);

    // A folder made by someone else with looser permissions is closed on the next write.
    ::chmod(folder.c_str(), 0755);
    store.saveString("value", "auth_refresh_token");
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(FileCredentialStore(folder).readString("auth_refresh_token"), "value") << "not kept across instances";

    // A path that cannot hold the folder: the errno, negated, in the error's text.
    modelstest::writeFile(home.path() / "plain-file", "");
    FileCredentialStore blocked(home.path() / "plain-file" / "Sablix");
    try {
        blocked.saveString("value", "auth_access_token");
        ADD_FAILURE() << "a save into a file's path succeeded";
    } catch (const KeychainError& error) {
        EXPECT_EQ(error.kind(), KeychainError::Kind::saveFailed);
        EXPECT_EQ(error.status(), -ENOTDIR);
        EXPECT_EQ(std::string(error.what()), "Keychain save failed: -" + std::to_string(ENOTDIR));
    }
    EXPECT_EQ(blocked.readString("auth_access_token"), std::nullopt);
}

TEST(SecretServiceCredentialStoreTest, KeepsOneItemPerAccountInARealSecretService) {
    authtest::PrivateSecretService service;
    if (!service.started()) GTEST_SKIP() << "No Secret Service for this test: " << service.reason();
    // Set before the first use of the session bus in this process, which GLib then keeps.
    ScopedEnvironment bus("DBUS_SESSION_BUS_ADDRESS", service.address().c_str());
    ASSERT_TRUE(SecretServiceCredentialStore::isAvailable(std::chrono::milliseconds(5000)));

    testsupport::LogCapture log;
    auto chosen = sablix::openCredentialStore("/nonexistent");
    EXPECT_NE(dynamic_cast<SecretServiceCredentialStore*>(chosen.get()), nullptr);
    EXPECT_TRUE(log.has("KeychainManager", "Credentials are kept by the Secret Service"));

    SecretServiceCredentialStore store;
    SecretServiceCredentialStore otherService("com.example.other");
    expectStoreContract(store, otherService, [] {});
    EXPECT_EQ(service.countItems(CredentialStore::kServiceName, "auth_user_id"), 1);
    store.saveString("again", "auth_user_id");
    EXPECT_EQ(service.countItems(CredentialStore::kServiceName, "auth_user_id"), 1) << "a save added a second item";
    EXPECT_EQ(service.countItems(CredentialStore::kServiceName, "auth_access_token"), 0);
    EXPECT_EQ(service.countItems("com.example.other", "auth_access_token"), 1);
}

TEST(CredentialStoreChoiceTest, WithoutASessionBusTheFileStoreIsUsedAndSaidSo) {
    modelstest::TempDir runtime;
    ScopedEnvironment bus("DBUS_SESSION_BUS_ADDRESS", nullptr);
    ScopedEnvironment runtimeDir("XDG_RUNTIME_DIR", runtime.path().c_str());
    testsupport::LogCapture log;

    auto chosen = sablix::openCredentialStore(runtime.path() / "Sablix");

    auto* file = dynamic_cast<FileCredentialStore*>(chosen.get());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(log.messages("KeychainManager"),
              std::vector<std::string>{"No Secret Service answers; credentials are kept in " +
                                       (runtime.path() / "Sablix" / "credentials.json").string()});
}

}  // namespace
