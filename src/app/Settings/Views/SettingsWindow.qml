import QtQuick
import QtQuick.Controls
import Sablix

// The settings sheet as a window of its own over the main window, which it blocks while shown.
// Closing it by the window's own means closes the sheet as Done does.
ApplicationWindow {
    id: sheet
    objectName: "settingsWindow"
    required property SettingsPresenter presenter
    property ReferralsSettingsSectionPresenter referralsSection: null

    title: "Settings"
    flags: Qt.Dialog
    modality: Qt.WindowModal
    minimumWidth: 500
    maximumWidth: 500
    minimumHeight: 400
    maximumHeight: 600
    width: 500
    height: 600

    onClosing: presenter.dismiss()

    SettingsView {
        anchors.fill: parent
        presenter: sheet.presenter
        referralsSection: sheet.referralsSection
    }
}
