pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The fill-in dialog's face: one labelled field per fill-in name, Cancel and Insert. What was
// typed and what the user decided live in the form.
FocusScope {
    id: view
    objectName: "fillInFieldsView"

    required property FillInFieldsPresenter form

    readonly property string title: "Fill in Fields"
    readonly property string subtitle: "Enter values for each field below."
    readonly property string cancelText: "Cancel"
    readonly property string insertText: "Insert"

    width: 360
    implicitHeight: content.implicitHeight + 40
    focus: true

    // A placeholder shows its text as rich text when it looks like markup, and its format cannot be
    // set: a name that could pass for markup is escaped inside markup of our own, which shows it as written.
    function placeholderFor(name) {
        const text = "Enter " + name.toLowerCase() + "..."
        if (!/[<&]/.test(text))
            return text
        return "<span>" + text.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;") + "</span>"
    }

    Keys.onEscapePressed: form.cancel()
    Keys.onReturnPressed: form.insert()
    Keys.onEnterPressed: form.insert()

    // What the field names take beyond one line each, which the window adds to its height. Known as
    // soon as the view is made: the names' width follows the view's, not a layout's later pass.
    readonly property real wrappedNamesHeight: {
        let height = 0
        for (let i = 0; i < fieldRepeater.count; ++i) {
            const row = fieldRepeater.itemAt(i)
            if (row)
                height += row.beyondOneLine
        }
        return height
    }

    // Brings a field, with its name above it where there is room, into the part of the list in view.
    function reveal(row, field) {
        if (fieldScroll.height <= 0)
            return  // not laid out yet: the list starts at its top
        const target = row.height <= fieldScroll.height ? row : field
        const top = target.mapToItem(fieldColumn, 0, 0).y
        const bottom = top + target.height
        let y = fieldScroll.contentY
        if (top < y)
            y = top
        else if (bottom > y + fieldScroll.height)
            y = bottom - fieldScroll.height
        fieldScroll.contentY = Math.max(0, Math.min(y, fieldScroll.contentHeight - fieldScroll.height))
    }

    ColumnLayout {
        id: content
        anchors.fill: parent
        anchors.topMargin: 20
        anchors.bottomMargin: 20
        spacing: 12

        ColumnLayout {
            spacing: 4
            Layout.bottomMargin: 4
            Layout.leftMargin: 20
            Layout.rightMargin: 20
            Label {
                objectName: "fillInTitle"
                text: view.title
                textFormat: Text.PlainText
                font.pixelSize: 15
                font.weight: Font.DemiBold
            }
            Label {
                objectName: "fillInSubtitle"
                text: view.subtitle
                textFormat: Text.PlainText
                font.pixelSize: 11
                opacity: 0.6
            }
        }

        // The fields scroll between the header and the buttons, which stay in view. The list spans
        // the dialog's width, so that its scroll bar stands in the margin beside the fields.
        Flickable {
            id: fieldScroll
            objectName: "fillInFieldsScroll"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.preferredHeight: contentHeight
            clip: true
            contentWidth: width
            contentHeight: fieldColumn.height
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {
                objectName: "fillInScrollBar"
                policy: ScrollBar.AlwaysOn
                visible: fieldScroll.contentHeight > fieldScroll.height
            }

            Column {
                id: fieldColumn
                x: 20
                width: view.width - 40
                spacing: 12

                Repeater {
                    id: fieldRepeater
                    model: view.form.fieldNames

                    Column {
                        id: fieldRow
                        required property string modelData
                        required property int index
                        readonly property real beyondOneLine:
                            nameLabel.height - nameLabel.height / Math.max(1, nameLabel.lineCount)
                        width: fieldColumn.width
                        spacing: 4

                        Label {
                            id: nameLabel
                            objectName: "fillInLabel:" + fieldRow.modelData
                            width: parent.width
                            text: fieldRow.modelData
                            textFormat: Text.PlainText
                            wrapMode: Text.Wrap
                            font.pixelSize: 12
                            font.weight: Font.Medium
                            opacity: 0.6
                        }
                        TextField {
                            id: textField
                            objectName: "fillInField:" + fieldRow.modelData
                            width: parent.width
                            focus: fieldRow.index === 0
                            placeholderText: view.placeholderFor(fieldRow.modelData)
                            font.pixelSize: 13
                            padding: 8
                            background: Rectangle {
                                radius: 6
                                color: ThemeColors.secondary
                                border.width: 1
                                border.color: Qt.rgba(textField.palette.text.r, textField.palette.text.g,
                                                      textField.palette.text.b, 0.1)
                            }
                            onTextChanged: view.form.setValue(fieldRow.modelData, text)
                            // Tab and Return move the focus on, maybe to a field scrolled out of view.
                            onActiveFocusChanged: {
                                if (activeFocus)
                                    view.reveal(fieldRow, textField)
                            }
                            // Return moves on to the next field; in the last one it inserts.
                            function submit() {
                                if (fieldRow.index + 1 < fieldRepeater.count)
                                    nextItemInFocusChain().forceActiveFocus()
                                else
                                    view.form.insert()
                            }
                            Keys.onReturnPressed: submit()
                            Keys.onEnterPressed: submit()
                            Component.onCompleted: {
                                if (fieldRow.index === 0)
                                    forceActiveFocus()
                            }
                        }
                    }
                }
            }
        }

        RowLayout {
            spacing: 10
            Layout.fillWidth: true
            Layout.leftMargin: 20
            Layout.rightMargin: 20

            Item { Layout.fillWidth: true }
            Button {
                objectName: "fillInCancel"
                text: view.cancelText
                onClicked: view.form.cancel()
            }
            Button {
                objectName: "fillInInsert"
                text: view.insertText
                highlighted: true
                enabled: view.form.allFieldsFilled
                onClicked: view.form.insert()
            }
        }
    }
}
