#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "Accounts/FileCredentialStore.h"
#include "Accounts/KeychainError.h"
#include "Accounts/SecretServiceCredentialStore.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/ModelsTestSupport.h"
#include "support/Wait.h"

namespace sablix {
namespace {

// What a call of the store ended in: "" when it succeeded, the error's text otherwise.
std::string failureOf(const std::function<void()>& call) {
    try {
        call();
        return "";
    } catch (const KeychainError& error) {
        return error.what();
    }
}

// What every store must do, with a store of another service in the same place beside it.
// afterWrite runs after every change, for checks of the store's own.
void expectStoreContract(CredentialStore& store, CredentialStore& otherService,
                         const std::function<void()>& afterWrite) {
    otherService.saveString("theirs", "auth_access_token");
    EXPECT_EQ(store.readString("auth_access_token"), std::nullopt) << "another service's item was seen";
    for (const char* value : {"first", "second ✓"}) {
        store.saveString(value, "auth_access_token");
        afterWrite();
    }
    store.saveString("", "auth_user_id");
    afterWrite();
    EXPECT_EQ(store.readString("auth_access_token"), "second ✓");
    EXPECT_EQ(store.readString("auth_user_id"), "") << "an empty value is a value";
    EXPECT_EQ(failureOf([&] { store.saveString("\xff\xfe", "auth_user_data"); }), "Unexpected Keychain data format");
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
    EXPECT_EQ(failureOf([&] { blocked.saveString("value", "auth_access_token"); }),
              "Keychain save failed: -" + std::to_string(ENOTDIR));
    EXPECT_EQ(blocked.readString("auth_access_token"), std::nullopt);
}

// A session bus of its own with gnome-keyring's Secret Service on it, its keyring in a temporary
// folder. The bus starts nothing on demand, so every process here is one this object started and
// stops by its PID. When either cannot start, reason says why.
struct PrivateSecretService {
    PrivateSecretService() {
        int found = -1;
        testsupport::runCommand(
            {"sh", "-c", "command -v dbus-daemon && command -v dbus-send && command -v gnome-keyring-daemon"}, &found);
        if (found != 0) {
            reason = "dbus-daemon, dbus-send or gnome-keyring-daemon is not installed";
            return;
        }
        const auto socket = folder.path() / "bus";
        address = "unix:path=" + socket.string();
        const auto config = folder.path() / "bus.conf";
        std::ofstream(config)
            << "<busconfig><type>session</type><listen>" << address
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow eavesdrop=\"true\"/>"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
        bus = std::make_unique<testsupport::ChildProcess>(
            std::vector<std::string>{"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--nopidfile"});
        if (!testsupport::waitUntil([&] { return std::filesystem::exists(socket); }, 5000)) {
            reason = "dbus-daemon did not start";
            return;
        }
        // The keyring is created unlocked with this password, read from standard input.
        const std::string home = folder.path().string();
        keyring = std::make_unique<testsupport::ChildProcess>(
            std::vector<std::string>{"sh", "-c",
                                     "exec gnome-keyring-daemon --foreground --unlock --components=secrets <<EOF\n"
                                     "sablix-test\nEOF\n"},
            std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + address, "HOME=" + home,
                                     "XDG_DATA_HOME=" + home + "/data", "XDG_RUNTIME_DIR=" + home,
                                     "GNOME_KEYRING_CONTROL="});
        const auto owned = [&] {
            return send({"--dest=org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                         "string:org.freedesktop.secrets"})
                       .find("boolean true") != std::string::npos;
        };
        if (!testsupport::waitUntil(owned, 10000))
            reason = "gnome-keyring-daemon did not take the Secret Service's name";
    }

    std::string send(std::vector<std::string> call) const {
        call.insert(call.begin(), {"dbus-send", "--session", "--print-reply"});
        return testsupport::runCommand(call, nullptr, 5000, {"DBUS_SESSION_BUS_ADDRESS=" + address});
    }
    // The items of the service with these attributes, as the Secret Service itself counts them.
    int countItems(const std::string& service, const std::string& account) const {
        const std::string reply = send({"--dest=org.freedesktop.secrets", "/org/freedesktop/secrets",
                                        "org.freedesktop.Secret.Service.SearchItems",
                                        "dict:string:string:service," + service + ",account," + account});
        int count = 0;
        for (size_t at = reply.find("object path"); at != std::string::npos; at = reply.find("object path", at + 1))
            ++count;
        return count;
    }

    modelstest::TempDir folder;
    std::string address;
    std::string reason;
    std::unique_ptr<testsupport::ChildProcess> bus;  // declared after folder: stopped before it goes
    std::unique_ptr<testsupport::ChildProcess> keyring;
};

TEST(SecretServiceCredentialStoreTest, KeepsOneItemPerAccountInARealSecretService) {
    PrivateSecretService service;
    if (!service.reason.empty()) GTEST_SKIP() << "No Secret Service for this test: " << service.reason;
    // For the rest of this process: GLib keeps the first session bus it uses in any case.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", service.address.c_str(), 1);
    ASSERT_TRUE(SecretServiceCredentialStore::isAvailable(std::chrono::milliseconds(5000)));

    testsupport::LogCapture log;
    EXPECT_NE(dynamic_cast<SecretServiceCredentialStore*>(openCredentialStore("/nonexistent").get()), nullptr);
    EXPECT_TRUE(log.has("KeychainManager", "Credentials are kept by the Secret Service"));

    SecretServiceCredentialStore store;
    SecretServiceCredentialStore otherService("com.example.other");
    expectStoreContract(store, otherService, [] {});
    store.saveString("again", "auth_user_id");
    EXPECT_EQ(service.countItems(CredentialStore::kServiceName, "auth_user_id"), 1) << "a save added a second item";
    EXPECT_EQ(service.countItems(CredentialStore::kServiceName, "auth_access_token"), 0);
    EXPECT_EQ(service.countItems("com.example.other", "auth_access_token"), 1);
}

}  // namespace
}  // namespace sablix
