import QtQuick
import QtQuick.Controls.impl
import Sablix

// A symbol drawn from the desktop's icon theme, square, tinted with the given colour.
IconImage {
    property string symbol
    property int size: 16

    name: SymbolIcons.iconName(symbol)
    sourceSize.width: size
    sourceSize.height: size
}
