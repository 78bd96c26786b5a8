#include "desktop/x11/X11Accessibility.h"

#include <cstdlib>

#include "desktop/x11/X11Display.h"
#include "platform/Log.h"

namespace desktop {

X11Accessibility::X11Accessibility(std::string displayName) : displayName_(std::move(displayName)) {}

bool X11Accessibility::isProcessTrusted(bool prompt) {
    std::string missing;
    if (auto display = X11Display::open(displayName_)) {
        for (const char* extension : {"RECORD", "XTEST"})
            if (!display->hasExtension(extension))
                missing += std::string(missing.empty() ? "" : " and ") + "the " + extension + " extension";
    } else {
        missing = "a connection to the X display";
    }
    if (!missing.empty() && prompt) {
        const char* name = displayName_.empty() ? std::getenv("DISPLAY") : displayName_.c_str();
        platform::appLog("Accessibility")
            .error("Keys cannot be watched or typed: the X server at %s lacks %s", name ? name : "(no DISPLAY)",
                   missing.c_str());
    }
    return missing.empty();
}

std::optional<TextRange> X11Accessibility::focusedSelectedTextRange(const RunningApplication&) { return std::nullopt; }

bool X11Accessibility::setFocusedSelectedTextRange(const RunningApplication&, TextRange) { return false; }

}  // namespace desktop
