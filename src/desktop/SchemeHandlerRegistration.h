#pragma once
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace desktop {

// Makes the desktop open "sablix:" links with this binary and list it among its applications: a
// desktop entry for the scheme's handler type in the user's applications folder, made the default
// handler through xdg-mime. Started from the menu, the entry passes no link, which brings the
// running instance forward. Done on the first start and again whenever the binary has moved,
// since the entry names it, or the entry's text has changed. The entry names the application's
// icon, which is written beside it.
class SchemeHandlerRegistration {
public:
    static constexpr const char* kEntryFileName = "sablix.desktop";
    static constexpr const char* kSchemeHandlerType = "x-scheme-handler/sablix";

    // Starts a program with the arguments and does not wait for it; false when it could not start.
    using CommandRunner = std::function<bool(const std::string& program, const std::vector<std::string>& arguments)>;

    // The application's icon: the name the entry gives it and its SVG text, kept as that name in
    // the user's icon theme folder ($XDG_DATA_HOME/icons/hicolor/scalable/apps) beside the entry.
    struct Icon {
        std::string name;
        std::string svg;
    };

    // applicationsFolder: $XDG_DATA_HOME/applications; executable: the binary's absolute path.
    SchemeHandlerRegistration(std::filesystem::path applicationsFolder, std::filesystem::path executable,
                              CommandRunner run, Icon icon);

    // The runner the application uses: xdg-mime from PATH, started detached; without xdg-mime,
    // nothing is run and nothing is said.
    static CommandRunner xdgMimeRunner();

    static std::string entryText(const std::filesystem::path& executable, const std::string& iconName);

    // Writes the icon and the entry and registers the entry, each unless already there as it is;
    // false when the entry could not be written.
    bool registerHandler();

private:
    // Replaces the file with the text, creating its folder; false (logged) when it could not be written.
    bool writeFile(const std::filesystem::path& file, const std::string& text);

    const std::filesystem::path applicationsFolder_;
    const std::filesystem::path executable_;
    CommandRunner run_;
    const Icon icon_;
    platform::Log logger_ = platform::appLog("SchemeHandler");
};

}  // namespace desktop
