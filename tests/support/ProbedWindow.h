#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

// One named item of the running application's windows, where the item probe last saw it.
struct ProbedItem {
    std::string name;
    int x = 0, y = 0, width = 0, height = 0;
    bool enabled = true;
    // A list or sheet holding it still scrolls.
    bool moving = false;
    std::string text;
};

// The windows of a `sablix` started after this object (and before the next one), seen through its
// item probe: the probe file is named in the environment here (the child inherits it) and read
// back on each question.
// Clicks are real X events at the item's centre.
class ProbedWindow {
public:
    explicit ProbedWindow(std::string display);
    ~ProbedWindow();
    ProbedWindow(const ProbedWindow&) = delete;
    ProbedWindow& operator=(const ProbedWindow&) = delete;

    std::vector<ProbedItem> probe() const;
    // The visible item of that name, now.
    std::optional<ProbedItem> maybe(const std::string& name) const;
    // Waits (10 s at most) until the item shows; with text, until it shows that text.
    bool shows(const std::string& name) const;
    bool shows(const std::string& name, const std::string& text) const;
    // Waits (10 s at most) until the item shows and has stopped moving (a window manager places a
    // new sheet after it appears; a list scrolls on after the wheel): where it then is.
    std::optional<ProbedItem> settled(const std::string& name) const;
    // Turns the mouse wheel over the scrolling item `view` until `item` shows whole above its
    // bottom edge; false when it never did.
    bool scrollDownTo(const std::string& item, const std::string& view) const;
    // Waits until the item shows, is enabled and has stopped moving (a window manager places a
    // new window after it appears; a list scrolls on after the wheel), then clicks it; false when
    // it never did.
    bool click(const std::string& name, const char* button = "1") const;

private:
    // Moves the pointer there, then runs the xdotool commands `then` (a click, say).
    bool pointAt(int x, int y, const std::vector<std::string>& then) const;

    std::string display_;
    std::filesystem::path file_;
};

}  // namespace e2e
