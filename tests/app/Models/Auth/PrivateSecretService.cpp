#include "PrivateSecretService.h"

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "support/Wait.h"

namespace authtest {
namespace {

bool onPath(const std::string& program) {
    int exitCode = -1;
    testsupport::runCommand({"sh", "-c", "command -v " + program}, &exitCode);
    return exitCode == 0;
}

}  // namespace

PrivateSecretService::PrivateSecretService() {
    for (const char* program : {"dbus-daemon", "dbus-send", "gnome-keyring-daemon"}) {
        if (!onPath(program)) {
            reason_ = std::string(program) + " is not installed";
            return;
        }
    }
    const auto socket = folder_.path() / "bus";
    address_ = "unix:path=" + socket.string();
    const auto config = folder_.path() / "bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><type>session</type><listen>"
                          << address_
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                             "<allow own=\"*\"/></policy></busconfig>\n";
    bus_ = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--nopidfile"});
    const bool listening = testsupport::waitUntil(
        [&] {
            struct stat status {};
            return ::stat(socket.c_str(), &status) == 0;
        },
        5000);
    if (!listening) {
        reason_ = "dbus-daemon did not start";
        return;
    }
    // The keyring is created unlocked with this password, read from standard input.
    const std::string home = folder_.path().string();
    keyring_ = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{"sh", "-c",
                                 "exec gnome-keyring-daemon --foreground --unlock --components=secrets <<EOF\n"
                                 "sablix-test\nEOF\n"},
        std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + address_, "HOME=" + home,
                                 "XDG_DATA_HOME=" + home + "/data", "XDG_RUNTIME_DIR=" + home,
                                 "GNOME_KEYRING_CONTROL="});
    const bool answering = testsupport::waitUntil(
        [&] {
            const std::string reply = testsupport::runCommand(
                {"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"},
                nullptr, 2000, {"DBUS_SESSION_BUS_ADDRESS=" + address_});
            return reply.find("boolean true") != std::string::npos;
        },
        10000);
    if (!answering) reason_ = "gnome-keyring-daemon did not take the Secret Service's name";
}

PrivateSecretService::~PrivateSecretService() {
    keyring_.reset();
    bus_.reset();
}

int PrivateSecretService::countItems(const std::string& service, const std::string& account) const {
    const std::string reply = testsupport::runCommand(
        {"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.secrets", "/org/freedesktop/secrets",
         "org.freedesktop.Secret.Service.SearchItems", "dict:string:string:service," + service + ",account," + account},
        nullptr, 5000, {"DBUS_SESSION_BUS_ADDRESS=" + address_});
    int count = 0;
    for (size_t at = reply.find("object path"); at != std::string::npos; at = reply.find("object path", at + 1))
        ++count;
    return count;
}

}  // namespace authtest
