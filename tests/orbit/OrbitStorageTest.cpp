#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <random>

#include "OrbitTestSupport.h"
#include "orbit/OrbitConfig.h"
#include "orbit/OrbitHost.h"
#include "orbit/OrbitStorage.h"
#include "orbit/OrbitStorageManager.h"
#include "orbit/Utils/JSONUtils.h"
#include "support/ModelsTestSupport.h"

using nlohmann::json;
using orbit::OrbitStorage;
using Key = orbit::OrbitStorage::StorageKey;
using modelstest::readFile;

namespace {

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    modelstest::writeFile(path, bytes);
}

class Containers : public orbit::OrbitContainerResolver {
public:
    Containers(std::filesystem::path container, bool extension)
        : container_(std::move(container)), extension_(extension) {}
    std::optional<std::filesystem::path> containerURL(const std::string& group) override {
        return group == "group.sablix" ? std::optional(container_) : std::nullopt;
    }
    bool isExtension() override { return extension_; }

private:
    std::filesystem::path container_;
    bool extension_;
};

orbit::OrbitHost hostIn(const std::filesystem::path& dataHome) {
    auto host = orbit::OrbitHost::standard();
    host.dataHome = dataHome;
    host.applicationInfo.identifier = "com.sablix.app";
    return host;
}

}  // namespace

// What is on disk for each kind of value, and what each kind of damaged or foreign file reads as.
TEST(OrbitStorageTest, ValuesAreWrappedOnDiskAndEveryDamagedFileReadsAsAbsent) {
    orbittest::HedgeLogCapture log;
    modelstest::TempDir folder;
    OrbitStorage storage(folder.path());

    storage.setString(Key::distinctId, "a");
    EXPECT_EQ(readFile(folder.path() / "orbit.distinctId"), R"({"orbit.distinctId":"a"})");
    EXPECT_EQ(storage.getString(Key::distinctId), "a");
    storage.setDictionary(Key::registerProperties, {{"orbit.registerProperties", "x"}, {"n", 1}});
    EXPECT_EQ(storage.getDictionary(Key::registerProperties), (json{{"orbit.registerProperties", "x"}, {"n", 1}}));
    EXPECT_EQ(storage.getString(Key::registerProperties), std::nullopt);
    storage.setBool(Key::isIdentified, true);
    EXPECT_EQ(readFile(folder.path() / "orbit.isIdentified"), R"({"orbit.isIdentified":true})");
    EXPECT_EQ(storage.getBool(Key::isIdentified), true);
    // Text that is not UTF-8 is written replaced rather than refused or thrown.
    storage.setString(Key::anonymousId, "bad \xff byte");
    EXPECT_EQ(storage.getString(Key::anonymousId), "bad \xEF\xBF\xBD byte");

    const auto write = [&](const char* name, const std::string& bytes) { writeFile(folder.path() / name, bytes); };
    write("orbit.evaluatedAt", R"({"orbit.evaluatedAt": 12.9})");
    EXPECT_EQ(storage.getInt(Key::evaluatedAt), 12);
    write("orbit.evaluatedAt", R"({"orbit.evaluatedAt": -9223372036854775808})");
    EXPECT_EQ(storage.getInt(Key::evaluatedAt), INT64_MIN);
    for (const char* outOfRange : {"1e30", "-1e30", "9223372036854775808", "18446744073709551615"}) {
        write("orbit.evaluatedAt", std::string(R"({"orbit.evaluatedAt": )") + outOfRange + "}");
        EXPECT_EQ(storage.getInt(Key::evaluatedAt), std::nullopt) << outOfRange;
    }
    write("orbit.optOut", R"({"orbit.optOut": "yes"})");
    EXPECT_EQ(storage.getBool(Key::optOut), std::nullopt);
    write("orbit.requestId", "");
    EXPECT_EQ(storage.getString(Key::requestId), std::nullopt);
    EXPECT_TRUE(log.hasPrefix("[Orbit] Failed to serialize key 'requestId' error: "));
    write("orbit.flags", "\"a bare string\"");
    EXPECT_EQ(storage.getJson(Key::flags), std::nullopt);
    EXPECT_TRUE(log.hasPrefix("[Orbit] Failed to serialize key 'flags' error: "));
    std::filesystem::create_directory(folder.path() / "orbit.groups");
    EXPECT_EQ(storage.getDictionary(Key::groups), std::nullopt);
    EXPECT_TRUE(log.has("[Orbit] Error reading data from key groups: Is a directory"));

    // A value that cannot be written, and a write that fails, leave the file as it was.
    storage.setDictionary(Key::sessionReplay, {{"ok", true}});
    storage.setDictionary(Key::sessionReplay, {{"ratio", std::nan("")}});
    EXPECT_TRUE(log.hasPrefix("[Orbit] Failed to serialize key 'sessionReplay' error: "));
    EXPECT_EQ(storage.getDictionary(Key::sessionReplay), (json{{"ok", true}}));
    ::chmod(folder.path().c_str(), 0500);
    storage.setString(Key::distinctId, "b");
    ::chmod(folder.path().c_str(), 0700);
    if (::geteuid() != 0) {
        EXPECT_TRUE(log.has("[Orbit] Failed to write data for key 'distinctId' error: Permission denied"));
        EXPECT_EQ(storage.getString(Key::distinctId), "a");
    }

    storage.setString(Key::deviceId, "d");
    storage.setInt(Key::evaluatedAt, 5);
    std::filesystem::create_directory(storage.url(Key::queue));
    storage.reset(true);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"orbit.anonymousId", "orbit.deviceId", "orbit.evaluatedAt",
                                              "orbit.queueFolder.uuid"}));
}

// The token-less layout moves into the token's folder once; a group container's legacy folder is
// merged, an extension leaving the identity files to its main application.
TEST(OrbitStorageTest, OlderLayoutsMoveIntoTheTokenFolderOnce) {
    orbittest::HedgeLogCapture log;
    modelstest::TempDir data;
    const auto host = hostIn(data.path());
    const auto base = data.path() / "com.sablix.app";
    std::filesystem::create_directories(base / "other_token");
    writeFile(base / "orbit.anonymousId", R"({"orbit.anonymousId":"OLD"})");
    writeFile(base / "orbit.optOut", R"({"orbit.optOut":true})");
    writeFile(base / "foreign.txt", "x");
    writeFile(base / "phc_1" / "orbit.optOut", R"({"orbit.optOut":false})");
    orbit::OrbitConfig config("phc_1");
    {
        OrbitStorage storage(config, host);
        EXPECT_EQ(storage.appFolderUrl(), base / "phc_1");
        EXPECT_EQ(storage.getString(Key::anonymousId), "OLD");
        EXPECT_EQ(storage.getBool(Key::optOut), false);  // the token folder's own file wins
    }
    EXPECT_FALSE(std::filesystem::exists(base / "orbit.anonymousId"));
    EXPECT_FALSE(std::filesystem::exists(base / "orbit.optOut"));
    EXPECT_TRUE(std::filesystem::exists(base / "foreign.txt"));
    EXPECT_TRUE(std::filesystem::exists(base / "other_token"));
    const auto linesBefore = log.lines().size();
    OrbitStorage again(config, host);
    EXPECT_EQ(log.lines().size(), linesBefore);

    for (const bool extension : {true, false}) {
        modelstest::TempDir container;
        auto groupHost = hostIn(data.path());
        groupHost.containerResolver = std::make_shared<Containers>(container.path(), extension);
        const auto library = container.path() / "Library" / "Application Support";
        writeFile(library / "com.sablix.app" / "orbit.distinctId", R"({"orbit.distinctId":"legacy"})");
        writeFile(library / "com.sablix.app" / "orbit.enabledFeatureFlags", R"({"beta":true})");
        writeFile(library / "com.sablix.app" / "orbit.flags", R"({"legacy":1})");
        writeFile(library / "com.sablix.app" / "phc_1" / "orbit.groups", R"({"g":"1"})");
        writeFile(library / "group.sablix" / "orbit.flags", R"({"current":1})");
        orbit::OrbitConfig grouped("phc_1");
        grouped.appGroupIdentifier = "group.sablix";
        OrbitStorage storage(grouped, groupHost);
        EXPECT_EQ(storage.appFolderUrl(), library / "group.sablix" / "phc_1");
        // Merged into the group's folder, then moved into the token's like any token-less file.
        EXPECT_EQ(storage.getString(Key::distinctId).has_value(), !extension);
        EXPECT_EQ(storage.getDictionary(Key::enabledFeatureFlags), (json{{"beta", true}}));
        EXPECT_EQ(storage.getDictionary(Key::flags), (json{{"current", 1}}));
        EXPECT_EQ(storage.getDictionary(Key::groups), extension ? std::nullopt : std::optional(json{{"g", "1"}}));
        EXPECT_FALSE(std::filesystem::exists(library / "com.sablix.app"));
        EXPECT_TRUE(log.has("[Orbit] Successfully migrated and removed legacy folder at " +
                            (library / "com.sablix.app").string()));
        EXPECT_TRUE(log.has("[Orbit] Legacy folder found at " + (library / "com.sablix.app").string() +
                            (extension ? ", merging from extension... (skipping 7 identity keys)"
                                       : ", merging from main app... (migrating all keys)")));
    }
    {  // a group without a container: the standard folder
        orbit::OrbitConfig grouped("phc_1");
        grouped.appGroupIdentifier = "group.elsewhere";
        EXPECT_EQ(OrbitStorage(grouped, host).appFolderUrl(), base / "phc_1");
    }
}

// Identity values: made once, derived from one another, kept in memory and written through; a
// reset forgets them (the device id never).
TEST(OrbitStorageTest, TheStorageManagerMakesIdsOnceAndResetsAllButTheDeviceId) {
    modelstest::TempDir data;
    orbit::OrbitConfig config("phc_ids");
    const auto fixed = *orbit::Uuid::fromString("0190a8e2-7a3b-7c4d-8e5f-0123456789ab");
    config.getAnonymousId = [&](const orbit::Uuid&) { return fixed; };
    orbit::OrbitStorageManager manager(config, hostIn(data.path()));
    const auto folder = data.path() / "com.sablix.app" / "phc_ids";
    EXPECT_EQ(manager.getDistinctId(), "0190A8E2-7A3B-7C4D-8E5F-0123456789AB");
    EXPECT_EQ(manager.getDeviceId(), manager.getAnonymousId());
    EXPECT_FALSE(std::filesystem::exists(folder / "orbit.distinctId"));
    EXPECT_FALSE(manager.isIdentified());

    manager.setDistinctId("u1");
    manager.reset(true, false);
    EXPECT_EQ(manager.getDistinctId(), "u1");  // read again from its file
    EXPECT_TRUE(manager.isIdentified());
    manager.setPersonProcessing(true);
    std::filesystem::remove(folder / "orbit.enabledPersonProcessing");
    manager.setPersonProcessing(true);  // unchanged: not written again
    EXPECT_FALSE(std::filesystem::exists(folder / "orbit.enabledPersonProcessing"));

    config.getAnonymousId = [](const orbit::Uuid& id) { return id; };
    orbit::OrbitStorageManager fresh(config, hostIn(data.path()));
    const auto device = fresh.getDeviceId();
    fresh.reset(false, true);
    EXPECT_NE(fresh.getAnonymousId(), device);
    EXPECT_EQ(fresh.getDistinctId(), fresh.getAnonymousId());
    EXPECT_EQ(fresh.getDeviceId(), device);
}

// A writer killed at any moment leaves every value file whole for Python's json, and the next start
// removes what its unfinished writes left.
TEST(OrbitStorageTest, AWriterKilledAtRandomMomentsLeavesOnlyWholeFiles) {
    modelstest::TempDir data;
    const auto folder = data.path() / "com.sablix.orbit-test-host" / "phc_kill";
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> moment(1, 40);
    for (int kill = 0; kill < 30; ++kill) {
        testsupport::ChildProcess writer({ORBIT_TEST_HOST, "churn", "phc_kill"},
                                         {"XDG_DATA_HOME=" + data.path().string()});
        ASSERT_TRUE(orbittest::eventually([&] { return std::filesystem::exists(folder / "orbit.groups"); }));
        const int ms = moment(random);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        ::kill(writer.pid(), SIGKILL);
        writer.wait(5000);
        if (const auto checked = orbittest::crossCheck("json", folder.string())) {
            ASSERT_EQ(*checked, "ok\n") << "killed after " << ms << " ms";
        }
        OrbitStorage restarted(folder);
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
    }
}
