#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/SchemeHandlerRegistration.h"
#include "support/ModelsTestSupport.h"

using desktop::SchemeHandlerRegistration;

namespace {

TEST(SchemeHandlerRegistration, WritesTheEntryOnceAndAgainWhenTheBinaryMoves) {
    modelstest::TempDir dir;
    const auto applications = dir.path() / "share" / "applications";
    std::vector<std::vector<std::string>> runs;
    const auto run = [&](const std::string& program, const std::vector<std::string>& arguments) {
        std::vector<std::string> call{program};
        call.insert(call.end(), arguments.begin(), arguments.end());
        runs.push_back(call);
        return true;
    };
    const std::vector<std::string> xdgMime{"xdg-mime", "default", "sablix.desktop", "x-scheme-handler/sablix"};
    const SchemeHandlerRegistration::Icon icon{"sablix", "<svg/>"};

    ASSERT_TRUE(SchemeHandlerRegistration(applications, "/opt/Sablix 2/bin/sablix", run, icon).registerHandler());
    EXPECT_EQ(modelstest::readFile(applications / "sablix.desktop"),
              "[Desktop Entry]\nType=Application\nName=Sablix\nExec=\"/opt/Sablix 2/bin/sablix\" %u\nIcon=sablix\n"
              "Terminal=false\nCategories=Utility;\nMimeType=x-scheme-handler/sablix;\n");
    // The icon the entry names, where the desktop looks for it.
    EXPECT_EQ(modelstest::readFile(dir.path() / "share" / "icons" / "hicolor" / "scalable" / "apps" / "sablix.svg"),
              "<svg/>");
    EXPECT_EQ(runs, std::vector<std::vector<std::string>>{xdgMime});

    ASSERT_TRUE(SchemeHandlerRegistration(applications, "/opt/Sablix 2/bin/sablix", run, icon).registerHandler());
    EXPECT_EQ(runs.size(), 1u) << "an unchanged entry is neither written nor registered again";

    // Exec quoting: a dollar sign escaped for the command line, its backslash for the string, and
    // a percent sign kept from reading as a field code.
    ASSERT_TRUE(SchemeHandlerRegistration(applications, "/home/u/$x%d/sablix", run, icon).registerHandler());
    EXPECT_NE(modelstest::readFile(applications / "sablix.desktop").find("Exec=\"/home/u/\\\\$x%%d/sablix\" %u\n"),
              std::string::npos);
    EXPECT_EQ(runs, std::vector<std::vector<std::string>>({xdgMime, xdgMime}));
}

}  // namespace
