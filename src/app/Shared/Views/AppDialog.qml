import QtQuick
import QtQuick.Controls

// A dialog over a window, its title, content and buttons as far from its edges as the content of
// the application's sheets is from theirs (the style keeps them 6 from the edge). A dialog with
// buttons of its own makes its footer an AppDialogButtons.
Dialog {
    id: dialog

    leftPadding: 24
    rightPadding: 24
    topPadding: 12
    bottomPadding: 16

    header: Label {
        text: dialog.title
        visible: dialog.title !== ""
        textFormat: Text.PlainText
        elide: Text.ElideRight
        font.bold: true
        leftPadding: 24
        rightPadding: 24
        topPadding: 24
    }
    footer: AppDialogButtons {
        visible: count > 0
    }
}
