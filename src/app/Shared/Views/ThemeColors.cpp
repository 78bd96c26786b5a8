#include "Shared/Views/ThemeColors.h"

#include <QGuiApplication>
#include <QPalette>

namespace sablix {

bool ThemeColors::isDark() { return QGuiApplication::palette().color(QPalette::Window).lightness() < 128; }

QColor ThemeColors::secondary() { return isDark() ? QColor(0x2C, 0x2C, 0x2E) : QColor(0xF2, 0xF2, 0xF7); }

QColor ThemeColors::foreground() { return isDark() ? QColor(0xF2, 0xF2, 0xF7) : QColor(0x1C, 0x1C, 0x1E); }

QColor ThemeColors::warning() { return isDark() ? QColor(0xFF, 0x9F, 0x0A) : QColor(0xC9, 0x6A, 0x00); }

QColor ThemeColors::success() { return isDark() ? QColor(0x30, 0xD1, 0x58) : QColor(0x24, 0x8A, 0x3D); }

QColor ThemeColors::error() { return isDark() ? QColor(0xFF, 0x45, 0x3A) : QColor(0xD7, 0x00, 0x15); }

}  // namespace sablix
