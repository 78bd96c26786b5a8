import QtQuick
import QtQuick.Controls.impl
import Sablix

// A symbol drawn from the desktop's icon theme, tinted with the given colour.
IconImage {
    property string symbol

    name: SymbolIcons.iconName(symbol)
    sourceSize.width: 16
    sourceSize.height: 16
}
