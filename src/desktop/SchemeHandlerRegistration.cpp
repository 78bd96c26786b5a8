#include "desktop/SchemeHandlerRegistration.h"
#include "posix/LogText.h"

#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>
#include <cctype>
#include <fstream>
#include <sstream>

namespace desktop {

namespace {

constexpr const char* kXdgMime = "xdg-mime";

bool needsQuoting(const std::string& path) {
    for (const unsigned char c : path)
        if (!std::isalnum(c) && c != '/' && c != '.' && c != '_' && c != '-' && c != '+') return true;
    return false;
}

// A plain path is written as it is: xdg-open without a desktop environment takes the first word
// of Exec literally, quotes included. Any other path gets Exec's own quoting: double quotes with
// ", `, $ and \ escaped, then "%" doubled for the field codes, then every backslash escaped once
// more because the key's value is a string.
std::string execArgument(const std::string& path) {
    if (!needsQuoting(path)) return path;
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string escaped;
    for (const char c : quoted) {
        if (c == '%') escaped += '%';
        if (c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

}  // namespace

SchemeHandlerRegistration::SchemeHandlerRegistration(std::filesystem::path applicationsFolder,
                                                     std::filesystem::path executable, CommandRunner run, Icon icon)
    : applicationsFolder_(std::move(applicationsFolder)),
      executable_(std::move(executable)),
      run_(std::move(run)),
      icon_(std::move(icon)) {}

SchemeHandlerRegistration::CommandRunner SchemeHandlerRegistration::xdgMimeRunner() {
    return [](const std::string& program, const std::vector<std::string>& arguments) {
        const QString found = QStandardPaths::findExecutable(QString::fromStdString(program));
        if (found.isEmpty()) return true;
        QStringList list;
        for (const auto& argument : arguments) list << QString::fromStdString(argument);
        return QProcess::startDetached(found, list);
    };
}

std::string SchemeHandlerRegistration::entryText(const std::filesystem::path& executable, const std::string& iconName) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Sablix\n"
           "Exec=" +
           execArgument(executable.string()) +
           " %u\n"
           "Icon=" +
           iconName +
           "\n"
           "Terminal=false\n"
           "Categories=Utility;\n"
           "MimeType=" +
           kSchemeHandlerType + ";\n";
}

bool SchemeHandlerRegistration::writeFile(const std::filesystem::path& path, const std::string& text) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    QSaveFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit()) {
        logger_.error("Cannot write %s: %s", posix::escapedForLog(path.string()).c_str(),
                      file.errorString().toUtf8().constData());
        return false;
    }
    return true;
}

bool SchemeHandlerRegistration::registerHandler() {
    // The entry goes without its icon rather than not at all.
    if (!icon_.svg.empty()) {
        const auto icon =
            applicationsFolder_.parent_path() / "icons" / "hicolor" / "scalable" / "apps" / (icon_.name + ".svg");
        if (readFile(icon) != icon_.svg) writeFile(icon, icon_.svg);
    }

    const std::filesystem::path entry = applicationsFolder_ / kEntryFileName;
    const std::string text = entryText(executable_, icon_.name);
    if (readFile(entry) == text) return true;
    if (!writeFile(entry, text)) return false;
    if (!run_(kXdgMime, {"default", kEntryFileName, kSchemeHandlerType}))
        logger_.error("Could not start %s to make %s the default handler", kXdgMime, kEntryFileName);
    return true;
}

}  // namespace desktop
