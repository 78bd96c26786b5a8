import QtQuick
import QtQuick.Controls

// The buttons of an AppDialog, as far from its edges as its content.
DialogButtonBox {
    leftPadding: 24
    rightPadding: 24
    topPadding: 0
    bottomPadding: 24
}
