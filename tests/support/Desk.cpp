#include "support/Desk.h"

#include <gtest/gtest.h>

namespace e2e {

bool Desk::open() { return server.started() && server.startWindowManager() && field.start(server.display()); }

std::set<std::string> Desk::rows() const {
    std::set<std::string> titles;
    for (const auto& item : probed.probe())
        if (item.name.starts_with("snippetRow:") && item.width > 0) titles.insert(item.name.substr(11));
    return titles;
}

bool Desk::listShows(const std::set<std::string>& expected, int timeoutMs) const {
    return waitUntil([&] { return rows() == expected; }, timeoutMs);
}

void Desk::click(const std::string& name, const char* button) const {
    ASSERT_TRUE(probed.click(name, button)) << "the window shows no " << name;
}

void Desk::type(const std::string& text) const {
    int code = -1;
    runOn(display(), {"xdotool", "type", "--delay", "40", text}, &code);
    ASSERT_EQ(code, 0);
}

void Desk::key(const std::string& keys) const { runOn(display(), {"xdotool", "key", keys}); }

std::string Desk::mainWindow() const {
    const std::string found = runOn(display(), {"xdotool", "search", "--onlyvisible", "--name", "^Sablix$"});
    return found.substr(0, found.find('\n'));
}

void Desk::activate(std::string window) const {
    if (window.empty()) window = mainWindow();
    ASSERT_FALSE(window.empty()) << "no window to bring in front";
    int code = -1;
    runOn(display(), {"xdotool", "windowactivate", "--sync", window}, &code);
    ASSERT_EQ(code, 0);
}

}  // namespace e2e
