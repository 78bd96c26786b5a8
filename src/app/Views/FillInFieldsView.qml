import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The form of the fill-in dialog: one labelled field per fill-in name, Cancel and Insert.
FocusScope {
    id: form
    objectName: "fillInFieldsView"

    required property var fieldNames
    property color fieldBackground: "#f2f2f7"
    // Field name -> entered text. Replaced as a whole on every edit so bindings see the change.
    property var values: ({})
    readonly property bool allFieldsFilled: {
        for (let i = 0; i < fieldNames.length; ++i) {
            const value = values[fieldNames[i]]
            if (value === undefined || value.trim().length === 0)
                return false
        }
        return true
    }

    readonly property string title: "Fill in Fields"
    readonly property string subtitle: "Enter values for each field below."
    readonly property string cancelText: "Cancel"
    readonly property string insertText: "Insert"

    signal inserted(var values)
    signal cancelled()

    width: 360
    implicitHeight: content.implicitHeight + 40
    focus: true

    function placeholderFor(name) {
        return "Enter " + name.toLowerCase() + "..."
    }

    function setValue(name, text) {
        const next = Object.assign({}, values)
        next[name] = text
        values = next
    }

    function insert() {
        if (allFieldsFilled)
            inserted(values)
    }

    function handleSubmitFromField(name) {
        const index = fieldNames.indexOf(name)
        if (index < 0)
            return
        if (index + 1 < fieldNames.length)
            fieldRepeater.itemAt(index + 1).field.forceActiveFocus()
        else
            insert()
    }

    Keys.onEscapePressed: cancelled()
    Keys.onReturnPressed: insert()
    Keys.onEnterPressed: insert()

    Component.onCompleted: {
        const initial = {}
        for (let i = 0; i < fieldNames.length; ++i)
            initial[fieldNames[i]] = ""
        values = initial
        if (fieldNames.length > 0)
            fieldRepeater.itemAt(0).field.forceActiveFocus()
    }

    ColumnLayout {
        id: content
        anchors.fill: parent
        anchors.margins: 20
        spacing: 16

        ColumnLayout {
            spacing: 4
            Label {
                objectName: "fillInTitle"
                text: form.title
                font.pixelSize: 15
                font.weight: Font.DemiBold
            }
            Label {
                objectName: "fillInSubtitle"
                text: form.subtitle
                font.pixelSize: 11
                opacity: 0.6
            }
        }

        ColumnLayout {
            spacing: 12
            Layout.fillWidth: true

            Repeater {
                id: fieldRepeater
                model: form.fieldNames

                ColumnLayout {
                    required property string modelData
                    required property int index
                    property alias field: textField
                    spacing: 4
                    Layout.fillWidth: true

                    Label {
                        objectName: "fillInLabel:" + modelData
                        text: modelData
                        font.pixelSize: 12
                        font.weight: Font.Medium
                        opacity: 0.6
                    }
                    TextField {
                        id: textField
                        objectName: "fillInField:" + modelData
                        Layout.fillWidth: true
                        focus: index === 0
                        placeholderText: form.placeholderFor(modelData)
                        font.pixelSize: 13
                        padding: 8
                        background: Rectangle {
                            radius: 6
                            color: form.fieldBackground
                            border.width: 1
                            border.color: Qt.rgba(textField.palette.text.r, textField.palette.text.g,
                                                  textField.palette.text.b, 0.1)
                        }
                        onTextChanged: form.setValue(modelData, text)
                        Keys.onReturnPressed: form.handleSubmitFromField(modelData)
                        Keys.onEnterPressed: form.handleSubmitFromField(modelData)
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
                text: form.cancelText
                onClicked: form.cancelled()
            }
            Button {
                objectName: "fillInInsert"
                text: form.insertText
                highlighted: true
                enabled: form.allFieldsFilled
                onClicked: form.insert()
            }
        }

        Item { Layout.fillHeight: true }
    }
}
