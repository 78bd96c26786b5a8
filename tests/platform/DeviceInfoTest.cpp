#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/DeviceInfo.h"
#include "platform/Uuid.h"

using platform::DeviceInfo;

TEST(DeviceInfo, OsVersionHasThreeNumbersFromTheReleaseFile) {
    EXPECT_EQ(DeviceInfo::osVersionFromOsRelease("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nVERSION_ID=\"12\"\n"),
              "12.0.0");
    EXPECT_EQ(DeviceInfo::osVersionFromOsRelease("NAME=Ubuntu\nVERSION_ID='22.04'\n"), "22.4.0");
    EXPECT_EQ(DeviceInfo::osVersionFromOsRelease("VERSION_ID=3.18.4\n"), "3.18.4");
    EXPECT_EQ(DeviceInfo::osVersionFromOsRelease("VERSION_ID=\"40.1.2.9\"\n"), "40.1.2");
    EXPECT_EQ(DeviceInfo::osVersionFromOsRelease("NAME=Arch\nBUILD_ID=rolling\n"), "0.0.0");
    EXPECT_EQ(DeviceInfo::osVersionFromOsRelease("MY_VERSION_ID=7\n"), "0.0.0");
}

TEST(DeviceInfo, MachineIdentifierIsAStableUuidThatDoesNotRevealTheMachineId) {
    const std::string machineId = "4c4c4544004d3510804bb8c04f4e4d32";
    const auto id = DeviceInfo::machineIdentifierFor(machineId + "\n");
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->size(), 36u);
    EXPECT_TRUE(platform::Uuid::fromString(*id).has_value());
    EXPECT_EQ(platform::Uuid::fromString(*id)->toString(), *id);  // upper case
    EXPECT_EQ(DeviceInfo::machineIdentifierFor("4C4C4544004D3510804BB8C04F4E4D32"), id);
    EXPECT_NE(DeviceInfo::machineIdentifierFor("4c4c4544004d3510804bb8c04f4e4d33"), id);
    std::string bare = *id;
    std::erase(bare, '-');
    EXPECT_EQ(bare.find("4C4C4544"), std::string::npos);
    EXPECT_EQ(DeviceInfo::machineIdentifierFor(""), std::nullopt);
    EXPECT_EQ(DeviceInfo::machineIdentifierFor("uninitialized"), std::nullopt);
}

TEST(DeviceInfo, CurrentReadsTheSystemFiles) {
    const auto folder = std::filesystem::temp_directory_path() / ("sablix-device-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "os-release") << "ID=debian\nVERSION_ID=\"12\"\n";
    std::ofstream(folder / "machine-id") << "0123456789abcdef0123456789abcdef\n";
    const auto info = DeviceInfo::current("1.0.0", "1", folder / "os-release", folder / "machine-id");
    EXPECT_EQ(info.appVersion, "1.0.0");
    EXPECT_EQ(info.appBuild, "1");
    EXPECT_EQ(info.osVersion, "12.0.0");
    EXPECT_EQ(info.machineIdentifier, DeviceInfo::machineIdentifierFor("0123456789abcdef0123456789abcdef"));

    const auto missing = DeviceInfo::current(std::nullopt, std::nullopt, folder / "none", folder / "none");
    EXPECT_EQ(missing.osVersion, "0.0.0");
    EXPECT_EQ(missing.machineIdentifier, std::nullopt);
    std::filesystem::remove_all(folder);
}
