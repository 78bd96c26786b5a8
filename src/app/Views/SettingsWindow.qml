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
    minimumWidth: 600
    minimumHeight: 500
    width: 600
    height: 640

    onClosing: presenter.dismiss()

    SettingsView {
        anchors.fill: parent
        presenter: sheet.presenter
        referralsSection: sheet.referralsSection
    }
}
