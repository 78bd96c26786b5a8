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

    ColumnLayout {
        id: content
        anchors.fill: parent
        anchors.margins: 20
        spacing: 16

        ColumnLayout {
            spacing: 4
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

        ColumnLayout {
            spacing: 12
            Layout.fillWidth: true

            Repeater {
                id: fieldRepeater
                model: view.form.fieldNames

                ColumnLayout {
                    id: fieldRow
                    required property string modelData
                    required property int index
                    spacing: 4
                    Layout.fillWidth: true

                    Label {
                        objectName: "fillInLabel:" + fieldRow.modelData
                        Layout.fillWidth: true
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
                        Layout.fillWidth: true
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

        RowLayout {
            spacing: 10
            Layout.fillWidth: true

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

        Item { Layout.fillHeight: true }
    }
}
