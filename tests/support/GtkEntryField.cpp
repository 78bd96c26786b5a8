#include "support/GtkEntryField.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "support/Wait.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;

// The text is written to a temporary name and renamed, so a reader never sees half of it. A
// "clear" file asks it to empty the entry.
constexpr const char* kScript = R"PY(
import os, sys
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk

directory, title = sys.argv[1], sys.argv[2]

def save(entry):
    temporary = os.path.join(directory, "text.tmp")
    with open(temporary, "w", encoding="utf-8") as out:
        out.write(entry.get_text())
    os.replace(temporary, os.path.join(directory, "text"))

def poll():
    request = os.path.join(directory, "clear")
    if os.path.exists(request):
        entry.set_text("")
        save(entry)
        os.remove(request)
    return True

window = Gtk.Window(title=title)
window.set_default_size(480, 60)
entry = Gtk.Entry()
entry.connect("changed", save)
window.add(entry)
window.connect("destroy", Gtk.main_quit)
window.show_all()
save(entry)
GLib.timeout_add(20, poll)
Gtk.main()
)PY";

std::string uniqueTitle() {
    static std::atomic<int> counter{0};
    return "SablixGtkField" + std::to_string(getpid()) + "x" + std::to_string(++counter);
}

}  // namespace

GtkEntryField::GtkEntryField() : title_(uniqueTitle()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sablix-gtk-XXXXXX";
    if (char* made = ::mkdtemp(pattern.data())) directory_ = made;
}

GtkEntryField::~GtkEntryField() {
    if (process_) process_->stop();
    if (!directory_.empty()) {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
}

bool GtkEntryField::start(const std::string& display) {
    if (directory_.empty() || process_) return false;
    display_ = display;
    const auto scriptPath = directory_ + "/field.py";
    {
        std::ofstream script(scriptPath);
        script << kScript;
        if (!script) return false;
    }
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/python3", scriptPath, directory_, title_},
        std::vector<std::string>{"DISPLAY=" + display, "GDK_BACKEND=x11", "NO_AT_BRIDGE=1"});
    int code = -1;
    const auto out =
        runCommand({"xdotool", "search", "--sync", "--name", "^" + title_ + "$"}, &code, 10000, {"DISPLAY=" + display});
    std::istringstream lines(out);
    std::string first;
    std::getline(lines, first);
    window_ = first.empty() ? 0 : std::strtoul(first.c_str(), nullptr, 10);
    return window_ != 0 && waitUntil([&] { return fs::exists(directory_ + "/text"); }, 10000);
}

bool GtkEntryField::focus() { return focusWindow(display_, window_); }

std::string GtkEntryField::contents() const { return fileContents(directory_ + "/text"); }

bool GtkEntryField::clear() {
    std::ofstream(directory_ + "/clear").put('\n');
    return waitUntil([&] { return !fs::exists(directory_ + "/clear") && contents().empty(); }, 10000);
}

}  // namespace testsupport
