#pragma once
#include <QColor>

namespace sablix {

// The application's named palette colours.
class ThemeColors {
public:
    // Asset "SecondaryBackground": the rounded background of text fields.
    static QColor secondary();
};

}  // namespace sablix
