import QtQuick
import QtQuick.Controls
import Sablix

// The team settings sheet as a window of its own over the main window, which it blocks while
// shown. Closing it by the window's own means closes the sheet as its close button does.
ApplicationWindow {
    id: sheet
    objectName: "teamSettingsWindow"
    required property TeamSettingsPresenter presenter

    title: "Team Settings"
    flags: Qt.Dialog
    modality: Qt.WindowModal
    minimumWidth: 500
    maximumWidth: 500
    minimumHeight: 500
    maximumHeight: 700
    width: 500
    height: 640

    onClosing: presenter.dismiss()

    TeamSettingsView {
        anchors.fill: parent
        presenter: sheet.presenter
    }
}
