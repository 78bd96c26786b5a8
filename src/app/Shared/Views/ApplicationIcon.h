#pragma once
#include <string>

namespace sablix {

// Sablix's own icon, built into the application: its windows show it, and the desktop entry names
// a copy of it in the user's icon theme folder.
struct ApplicationIcon {
    // The icon theme name the desktop entry gives (Icon=).
    static constexpr const char* kThemeName = "sablix";
    static constexpr const char* kResource = ":/Sablix/Shared/Views/SablixIcon.svg";

    // Every window of the application carries it from then on. Call once the application object exists.
    static void useForWindows();
    // The icon's SVG text, for the copy in the icon theme folder.
    static std::string svg();
};

}  // namespace sablix
