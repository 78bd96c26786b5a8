// The Mach-O header reader against llvm-objdump's reading of the same files, and the address texts
// that select images.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>

#include "orbit/ErrorTracking/OrbitDebugImageProvider.h"
#include "support/ChildProcess.h"

using orbit::OrbitDebugImageProvider;

TEST(ErrorTrackingImageTest, MachOHeaderReaderAgreesWithObjdump) {
    for (const std::string name : {"program-x86_64", "library-x86_64.dylib"}) {
        const std::string path = std::string(ORBIT_MACHO_FIXTURES) + "/" + name;
        std::ifstream file(path, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
        const std::string headers = testsupport::runCommand({"llvm-objdump", "--macho", "--private-headers", path});
        std::smatch text, uuid;
        ASSERT_TRUE(std::regex_search(headers, text,
                                      std::regex(R"(segname __TEXT\s+vmaddr (0x[0-9a-f]+)\s+vmsize (0x[0-9a-f]+))")))
            << headers;
        ASSERT_TRUE(std::regex_search(headers, uuid, std::regex(R"(uuid ([0-9A-F-]{36}))")));

        const auto image = OrbitDebugImageProvider::parseImageInfo(bytes, 0x1000, path);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->vmAddress, std::stoull(text[1], nullptr, 16)) << name;
        EXPECT_EQ(image->address, *image->vmAddress + 0x1000);
        EXPECT_EQ(image->size, std::stoull(text[2], nullptr, 16));
        EXPECT_EQ(image->uuid, uuid[1].str());
        EXPECT_EQ(image->toDictionary()["type"], "macho");

        // Cut anywhere, the header reads without a fault.
        for (size_t cut = 0; cut < std::min<size_t>(bytes.size(), 1024); ++cut)
            (void)OrbitDebugImageProvider::parseImageInfo(std::span(bytes).first(cut), 0, path);
    }
}

TEST(ErrorTrackingImageTest, AddressTexts) {
    for (const std::string text : {"0X1A0", "0x1a0", "1a0", "+1a0"})
        EXPECT_EQ(OrbitDebugImageProvider::parseAddress(text), 0x1a0u) << text;
    for (const std::string text : {"0x", "", "zz", "-1", "0x1a0 ", "0x10000000000000000"})
        EXPECT_FALSE(OrbitDebugImageProvider::parseAddress(text)) << text;
    EXPECT_EQ(OrbitDebugImageProvider::parseAddress("0xffffffffffffffff"), UINT64_MAX);

    const auto main = OrbitDebugImageProvider::mainProgramAddress();
    ASSERT_TRUE(main);
    // Frames without an image address, or with one no image has, select nothing.
    EXPECT_TRUE(OrbitDebugImageProvider::getDebugImagesForFrames(
                    nlohmann::json::parse(R"([{"in_app": true}, {"image_addr": "zz"}, {"image_addr": "0x"}])"))
                    .empty());
    char upper[32], lower[32];
    std::snprintf(upper, sizeof upper, "0X%llX", static_cast<unsigned long long>(*main));
    std::snprintf(lower, sizeof lower, "%llx", static_cast<unsigned long long>(*main));
    const nlohmann::json frames = {{{"image_addr", upper}}, {{"image_addr", lower}}};
    const auto images = OrbitDebugImageProvider::getDebugImagesForFrames(frames);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0]["code_file"], OrbitDebugImageProvider::mainProgramPath());
}
