#include <gtest/gtest.h>

#include "platform/DeviceInfo.h"
#include "platform/Uuid.h"
#include "support/ModelsTestSupport.h"

using platform::DeviceInfo;

TEST(DeviceInfo, OsVersionHasThreeNumbersFromTheReleaseFile) {
    for (const auto& [release, version] : std::vector<std::pair<std::string, std::string>>{
             {"PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nVERSION_ID=\"12\"\n", "12.0.0"},
             {"NAME=Ubuntu\nVERSION_ID='22.04'\n", "22.4.0"},
             {"VERSION_ID=\"40.1.2.9\"\n", "40.1.2"},
             {"NAME=Arch\nBUILD_ID=rolling\n", "0.0.0"},
             {"MY_VERSION_ID=7\n", "0.0.0"}})
        EXPECT_EQ(DeviceInfo::osVersionFromOsRelease(release), version) << release;
}

TEST(DeviceInfo, MachineIdentifierIsAStableUuidThatDoesNotRevealTheMachineId) {
    modelstest::TempDir folder;
    modelstest::writeFile(folder.path() / "os-release", "ID=debian\nVERSION_ID=\"12\"\n");
    modelstest::writeFile(folder.path() / "machine-id", "4c4c4544004d3510804bb8c04f4e4d32\n");
    const auto info = DeviceInfo::current("1.0.0", "1", folder.path() / "os-release", folder.path() / "machine-id");
    EXPECT_EQ(info.osVersion, "12.0.0");
    const auto id = info.machineIdentifier;
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(platform::Uuid::fromString(*id)->toString(), *id);  // a UUID, in upper case
    EXPECT_EQ(DeviceInfo::machineIdentifierFor("4C4C4544004D3510804BB8C04F4E4D32"), id);
    EXPECT_NE(DeviceInfo::machineIdentifierFor("4c4c4544004d3510804bb8c04f4e4d33"), id);
    std::string bare = *id;
    std::erase(bare, '-');
    EXPECT_EQ(bare.find("4C4C4544"), std::string::npos);

    for (const char* unset : {"", "uninitialized"}) EXPECT_EQ(DeviceInfo::machineIdentifierFor(unset), std::nullopt);
    const auto missing = DeviceInfo::current(std::nullopt, std::nullopt, folder.path() / "no", folder.path() / "no");
    EXPECT_EQ(missing.osVersion, "0.0.0");
    EXPECT_EQ(missing.machineIdentifier, std::nullopt);
}
