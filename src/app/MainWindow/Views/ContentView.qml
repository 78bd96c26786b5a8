pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The main window's content: the tag column, the snippet list and the detail pane side by side,
// the toolbar above them and the update notice below. The panes talk to one another only
// through the models and the window's state.
Item {
    id: content
    objectName: "contentView"

    required property MiddlePanelModel middlePanelModel
    required property RightPanelModel rightPanelModel
    required property TagSidebarModel tagSidebarModel
    required property MainWindowState windowState
    required property UpdateNotice updateNotice
    required property SnippetDetailPresenter detailPresenter
    // The snippet source control; none where the window shows only the personal library.
    property TeamSelectorPresenter teamSelector: null
    // Opens the team settings sheet; none where the window shows only the personal library.
    property TeamSettingsPresenter teamSettings: null

    implicitWidth: 900
    implicitHeight: 600

    // The three columns at their smallest; the window adds what stands above and below them.
    readonly property int splitMinimumWidth: 750
    readonly property int splitMinimumHeight: 500
    readonly property real minimumWidth: splitMinimumWidth
    readonly property real minimumHeight: toolBar.implicitHeight + split.Layout.minimumHeight
                                          + (content.updateNotice.shown
                                             ? noticeDivider.implicitHeight + noticeRow.implicitHeight
                                               + noticeRow.Layout.topMargin + noticeRow.Layout.bottomMargin
                                             : 0)

    // A save selects the saved snippet, a delete clears the selection.
    Connections {
        target: content.detailPresenter
        function onSelectedSnippetIDWritten(id) {
            content.windowState.selectedSnippetID = id
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        ToolBar {
            id: toolBar
            Layout.fillWidth: true
            RowLayout {
                anchors.fill: parent
                Item { Layout.fillWidth: true }
                ToolButton {
                    objectName: "teamSettingsButton"
                    visible: content.teamSelector !== null && content.teamSettings !== null
                             && content.teamSelector.canShowTeamSettings
                    icon.name: SymbolIcons.iconName("person.2")
                    Accessible.name: "Team Settings"
                    ToolTip.visible: hovered
                    ToolTip.text: "Team Settings"
                    onClicked: content.teamSettings.open()
                }
                ToolButton {
                    objectName: "settingsButton"
                    icon.name: SymbolIcons.iconName("gearshape")
                    text: "Settings"
                    display: AbstractButton.TextBesideIcon
                    Accessible.name: "Settings"
                    ToolTip.visible: hovered
                    ToolTip.text: "Settings"
                    onClicked: content.windowState.showSettings()
                }
            }
        }

        SplitView {
            id: split
            objectName: "contentSplit"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.minimumWidth: content.splitMinimumWidth
            Layout.minimumHeight: content.splitMinimumHeight
            orientation: Qt.Horizontal

            ColumnLayout {
                SplitView.minimumWidth: 150
                SplitView.preferredWidth: 180
                SplitView.maximumWidth: 250
                spacing: 0

                Loader {
                    id: selectorLoader
                    Layout.fillWidth: true
                    Layout.leftMargin: 16
                    Layout.rightMargin: 16
                    Layout.topMargin: 8
                    Layout.bottomMargin: 10
                    // From the presenter: the loaded item's own visible is false while this Loader is hidden.
                    visible: content.teamSelector !== null && content.teamSelector.shouldShow
                    Component.onCompleted: {
                        if (content.teamSelector !== null)
                            selectorLoader.setSource("qrc:/Sablix/Teams/Views/TeamSelectorView.qml", {"presenter": content.teamSelector})
                    }
                }
                TagSidebarView {
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    model: content.tagSidebarModel
                    middlePanelModel: content.middlePanelModel
                }
            }

            SnippetSidebarView {
                SplitView.minimumWidth: 220
                SplitView.preferredWidth: 280
                SplitView.maximumWidth: 400
                model: content.middlePanelModel
                rightPanelModel: content.rightPanelModel
                windowState: content.windowState
                tagFilter: content.tagSidebarModel.selectedTag
            }

            SnippetDetailView {
                SplitView.fillWidth: true
                SplitView.minimumWidth: 280
                presenter: content.detailPresenter
            }
        }

        Rectangle {
            id: noticeDivider
            Layout.fillWidth: true
            implicitHeight: 1
            visible: content.updateNotice.shown
            color: Qt.rgba(content.palette.windowText.r, content.palette.windowText.g, content.palette.windowText.b,
                           0.15)
        }

        RowLayout {
            id: noticeRow
            objectName: "updateNotice"
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 6
            Layout.bottomMargin: 6
            visible: content.updateNotice.shown
            spacing: 8

            SymbolImage {
                symbol: "arrow.down.circle.fill"
                size: 14
                color: content.palette.highlight
            }
            Label {
                objectName: "updateNoticeText"
                text: content.updateNotice.text
                textFormat: Text.PlainText
                font.pointSize: Math.max(1, Qt.application.font.pointSize - 1)
            }
            Button {
                objectName: "updateButton"
                text: "Update"
                highlighted: true
                padding: 2
                leftPadding: 8
                rightPadding: 8
                font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                onClicked: content.updateNotice.update()
            }
            Item { Layout.fillWidth: true }
            ToolButton {
                objectName: "dismissUpdateButton"
                icon.name: SymbolIcons.iconName("xmark")
                text: "Close"
                display: AbstractButton.IconOnly
                flat: true
                padding: 2
                opacity: 0.6
                onClicked: content.updateNotice.dismiss()
            }
        }
    }
}
