#include "PasteTargetPolicy.h"

#include <algorithm>
#include <string>

#include "desktop/KeyCodes.h"
#include "platform/TextRules.h"

namespace sablix {
namespace {

// WM_CLASS class names of terminal emulators, lower-cased.
constexpr std::string_view kTerminalEmulatorClasses[] = {
    "xterm",
    "uxterm",
    "urxvt",
    "rxvt",
    "gnome-terminal",
    "konsole",
    "xfce4-terminal",
    "terminator",
    "tilix",
    "kitty",
    "alacritty",
    "lxterminal",
    "mate-terminal",
    "st",
    "st-256color",
    "sakura",
    "terminology",
    "qterminal",
    "guake",
    "tilda",
    "wezterm",
    "org.wezfurlong.wezterm",
    "foot",
    "eterm",
    "aterm",
    "roxterm",
    "termite",
    "cool-retro-term",
    "deepin-terminal",
    "kgx",
    "org.gnome.console",
    "ptyxis",
    "com.mitchellh.ghostty",
};

bool isTerminalEmulator(std::string_view windowClass) {
    const std::string lowered = platform::text::lowercased(windowClass);
    return std::ranges::find(kTerminalEmulatorClasses, lowered) != std::end(kTerminalEmulatorClasses);
}

}  // namespace

PasteTargetPolicy::PasteTargetPolicy(desktop::Pasteboard& clipboard, desktop::Pasteboard& primarySelection)
    : clipboard_(clipboard), primarySelection_(primarySelection) {}

PasteTarget PasteTargetPolicy::forWindowClass(std::string_view windowClass) const {
    if (isTerminalEmulator(windowClass))
        return {desktop::keycode::kInsert, desktop::keycode::kShiftFlag, {&clipboard_, &primarySelection_}};
    return {desktop::keycode::kV, desktop::keycode::kCommandFlag, {&clipboard_}};
}

}  // namespace sablix
