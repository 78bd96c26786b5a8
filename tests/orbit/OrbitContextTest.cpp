#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "orbit/OrbitContext.h"
#include "orbit/ScreenViews/OrbitScreenNameSanitizer.h"
#include "support/ModelsTestSupport.h"

using orbit::OrbitContext;
using orbit::OrbitContextSources;

namespace {

OrbitContextSources::Environment environment(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const char* name) -> std::optional<std::string> {
        const auto found = values.find(name);
        if (found == values.end()) return std::nullopt;
        return found->second;
    };
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

}  // namespace

// A system tree with DMI files and a time zone link gives every static key, the zone after
// "zoneinfo/" and the language of LANG; an empty tree, binary and blank DMI files leave their keys
// out and nothing else changes.
TEST(OrbitContextTest, StaticAndDynamicKeysComeFromTheSystemTreeAndLeaveOutWhatIsMissing) {
    modelstest::TempDir tree;
    writeFile(tree.path() / "sys/class/dmi/id/sys_vendor", "LENOVO\n");
    writeFile(tree.path() / "sys/class/dmi/id/product_name", "  ThinkPad X1 Carbon  \n");
    std::filesystem::create_directories(tree.path() / "etc");
    std::filesystem::create_symlink("/usr/share/zoneinfo/Europe/Berlin", tree.path() / "etc/localtime");

    OrbitContextSources sources;
    sources.applicationInfo.displayName = "Sablix";
    sources.applicationInfo.version = "1.2.0";
    sources.applicationInfo.build = "4711";
    sources.root = tree.path();
    sources.env = environment({{"LANG", "de_DE.UTF-8"}});
    OrbitContext context(nullptr, sources);
    const auto& statics = context.staticContext();
    EXPECT_EQ(statics["$app_name"], "Sablix");
    EXPECT_EQ(statics["$app_version"], "1.2.0");
    EXPECT_EQ(statics["$app_build"], 4711);
    EXPECT_EQ(statics["$app_namespace"], "com.orbit.unknown");
    EXPECT_EQ(statics["$device_manufacturer"], "LENOVO");
    EXPECT_EQ(statics["$device_name"], "ThinkPad X1 Carbon");
    EXPECT_EQ(statics["$device_model"], OrbitContext::machineName().value());
    EXPECT_EQ(statics["$device_type"], "Desktop");
    EXPECT_EQ(statics["$os_name"], "Linux");
    EXPECT_EQ(statics["$is_emulator"], false);
    EXPECT_EQ(&context.staticContext(), &statics);
    EXPECT_EQ(context.personPropertiesContext(),
              (nlohmann::json{{"$app_version", "1.2.0"},
                              {"$app_build", 4711},
                              {"$app_namespace", "com.orbit.unknown"},
                              {"$os_name", "Linux"},
                              {"$os_version", statics["$os_version"]},
                              {"$device_type", "Desktop"},
                              {"$lib", context.sdkInfo()["$lib"]},
                              {"$lib_version", context.sdkInfo()["$lib_version"]}}));
    EXPECT_EQ(context.dynamicContext(), (nlohmann::json{{"$locale", "de"}, {"$timezone", "Europe/Berlin"}}));
    context.setScreenSize(orbit::OrbitScreenSize{1920, 1080.5});
    EXPECT_EQ(context.dynamicContext()["$screen_height"], 1080.5);

    // /etc/timezone comes before the link; TZ before both.
    writeFile(tree.path() / "etc/timezone", "America/New_York\n");
    EXPECT_EQ(OrbitContext::timeZoneName(tree.path(), environment({})), "America/New_York");
    EXPECT_EQ(OrbitContext::timeZoneName(tree.path(), environment({{"TZ", "Asia/Kolkata"}})), "Asia/Kolkata");
    EXPECT_EQ(OrbitContext::timeZoneName(tree.path(), environment({{"TZ", ":/usr/share/zoneinfo/UTC"}})), "UTC");

    modelstest::TempDir empty;
    writeFile(empty.path() / "sys/class/dmi/id/sys_vendor", std::string("\xff\xfe\x00\x01", 4));
    writeFile(empty.path() / "sys/class/dmi/id/product_name", " \n");
    sources.root = empty.path();
    sources.applicationInfo = {};
    sources.env = environment({{"LC_ALL", "C"}, {"LANG", "de_DE.UTF-8"}});
    OrbitContext bare(nullptr, sources);
    for (const char* key : {"$app_name", "$app_version", "$app_build", "$device_manufacturer", "$device_name"})
        EXPECT_FALSE(bare.staticContext().contains(key)) << key;
    EXPECT_EQ(bare.dynamicContext(), nlohmann::json::object());
    EXPECT_EQ(OrbitContext::localeLanguage(environment({{"LC_MESSAGES", "POSIX"}})), std::nullopt);
    EXPECT_EQ(OrbitContext::localeLanguage(environment({{"LC_ALL", ""}, {"LC_MESSAGES", "fr_CA"}})), "fr");
}

TEST(OrbitContextTest, ModelNamesAndScreenNamesFollowTheirTables) {
    const std::map<std::string, std::string> models{
        {"MacBookPro18,3", "MacBook Pro"}, {"Mac15,3", "MacBook Air"}, {"Mac15,8", "MacBook Pro"},
        {"Mac16,1", "Mac"},                {"arm64", "Mac"},           {"VirtualMac2,1", "Mac (Virtual)"},
        {"Mac13,1", "Mac Studio"},         {"", "Mac"},                {"Macmini9,1", "Mac mini"}};
    for (const auto& [model, name] : models) EXPECT_EQ(orbit::macModelToFriendlyName(model), name) << model;

    using orbit::OrbitScreenNameSanitizer::sanitize;
    EXPECT_EQ(sanitize("UIHostingController<ModifiedContent<ModifiedContent<HomeView, A>, B>>"), "HomeView");
    EXPECT_EQ(sanitize("UIHostingController<AnyView>"), std::nullopt);
    EXPECT_EQ(sanitize("AnyView"), "AnyView");
    EXPECT_EQ(sanitize("ModifiedContent<Dictionary<String, Int>, X>"), "Dictionary<String, Int>");
    EXPECT_EQ(sanitize(""), std::nullopt);
}
