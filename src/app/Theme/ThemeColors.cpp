#include "Theme/ThemeColors.h"

namespace sablix {

QColor ThemeColors::secondary() {
    static const QColor color(0xF2, 0xF2, 0xF7);
    return color;
}

}  // namespace sablix
