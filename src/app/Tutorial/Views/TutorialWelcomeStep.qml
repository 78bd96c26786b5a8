import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The tutorial's first step: what Sablix does, in three lines, and the way in or out.
ColumnLayout {
    id: step
    objectName: "tutorialWelcomeStep"

    signal getStarted
    signal skip

    spacing: 20

    SymbolImage {
        symbol: "keyboard"
        size: 48
        color: step.palette.windowText
        opacity: 0.35
        Layout.alignment: Qt.AlignHCenter
    }

    ColumnLayout {
        spacing: 8
        Layout.fillWidth: true
        Layout.alignment: Qt.AlignHCenter
        Label {
            text: "Welcome to Sablix"
            textFormat: Text.PlainText
            font.pointSize: Qt.application.font.pointSize + 5
            font.weight: Font.DemiBold
            Layout.alignment: Qt.AlignHCenter
        }
        Label {
            objectName: "welcomeMessage"
            text: "Sablix expands short triggers into full text anywhere on your computer. Let's try it."
            textFormat: Text.PlainText
            opacity: 0.7
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
            font.pointSize: Math.max(1, Qt.application.font.pointSize - 1)
            Layout.fillWidth: true
            Layout.maximumWidth: 360
            Layout.alignment: Qt.AlignHCenter
        }
    }

    Rectangle {
        objectName: "howItWorksCard"
        radius: 10
        color: ThemeColors.secondary
        implicitHeight: rows.implicitHeight + 32
        Layout.fillWidth: true
        Layout.maximumWidth: 380
        Layout.alignment: Qt.AlignHCenter

        ColumnLayout {
            id: rows
            anchors.fill: parent
            anchors.margins: 16
            spacing: 12
            HowItWorksRow {
                step: "1"
                title: "Create a snippet"
                detail: "Give it a short title like \"addr\" and paste your full address as the content."
                Layout.fillWidth: true
            }
            HowItWorksRow {
                step: "2"
                title: "Type the trigger"
                detail: "Type ;addr in any app -- email, browser, notes, anywhere."
                Layout.fillWidth: true
            }
            HowItWorksRow {
                step: "3"
                title: "Text expands instantly"
                detail: "Sablix replaces the trigger with your full snippet content."
                Layout.fillWidth: true
            }
        }
    }

    ColumnLayout {
        spacing: 10
        Layout.alignment: Qt.AlignHCenter
        Button {
            objectName: "getStartedButton"
            text: "Get Started"
            highlighted: true
            Layout.preferredWidth: 200
            Layout.alignment: Qt.AlignHCenter
            onClicked: step.getStarted()
        }
        Button {
            objectName: "skipTutorialButton"
            text: "Skip"
            flat: true
            opacity: 0.7
            font.pointSize: Math.max(1, Qt.application.font.pointSize - 1)
            Layout.alignment: Qt.AlignHCenter
            onClicked: step.skip()
        }
    }
}
