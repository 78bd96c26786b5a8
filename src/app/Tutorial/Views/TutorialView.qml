pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The first-run tutorial in the detail pane: the step on screen, fading into the next, with the
// step indicator near the bottom edge. Everything it shows is the tutorial's state; every action
// goes back to it.
Item {
    id: tutorialView
    objectName: "tutorialView"

    required property TutorialPresenter tutorial

    // The raw values of the tutorial's steps.
    readonly property int welcomeStep: 0
    readonly property int practiceStep: 1
    readonly property int completeStep: 2

    // The spacers centre the step; only the indicator keeps a fixed distance, so a step fits the
    // pane at the window's smallest.
    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 24
        spacing: 0

        Item {
            Layout.fillHeight: true
        }

        // The steps share one place; the one leaving fades out while the next fades in.
        Item {
            id: steps
            Layout.fillWidth: true
            implicitHeight: Math.max(welcome.shown ? welcome.implicitHeight : 0,
                                     practice.shown ? practice.implicitHeight : 0,
                                     complete.shown ? complete.implicitHeight : 0)

            TutorialWelcomeStep {
                id: welcome
                readonly property bool shown: tutorialView.tutorial.currentStep === tutorialView.welcomeStep
                width: parent.width
                opacity: shown ? 1 : 0
                visible: opacity > 0
                enabled: shown
                Behavior on opacity { NumberAnimation { duration: 250 } }
                onGetStarted: tutorialView.tutorial.getStarted()
                onSkip: tutorialView.tutorial.skip()
            }
            TutorialPracticeStep {
                id: practice
                readonly property bool shown: tutorialView.tutorial.currentStep === tutorialView.practiceStep
                width: parent.width
                opacity: shown ? 1 : 0
                visible: opacity > 0
                enabled: shown
                Behavior on opacity { NumberAnimation { duration: 250 } }
                practiceText: tutorialView.tutorial.practiceText
                hasExpanded: tutorialView.tutorial.hasExpanded
                showSuccess: tutorialView.tutorial.showSuccess
                triggerProgress: tutorialView.tutorial.triggerProgress
                onPracticeTextEdited: text => tutorialView.tutorial.practiceText = text
                onNext: tutorialView.tutorial.next()
                onBack: tutorialView.tutorial.back()
            }
            TutorialCompleteStep {
                id: complete
                readonly property bool shown: tutorialView.tutorial.currentStep === tutorialView.completeStep
                width: parent.width
                opacity: shown ? 1 : 0
                visible: opacity > 0
                enabled: shown
                Behavior on opacity { NumberAnimation { duration: 250 } }
                templates: tutorialView.tutorial.templates
                onTemplateChosen: index => tutorialView.tutorial.chooseTemplate(index)
                onStartFromScratch: tutorialView.tutorial.startFromScratch()
                onDone: tutorialView.tutorial.done()
            }
        }

        Item {
            Layout.fillHeight: true
        }

        TutorialStepIndicator {
            current: tutorialView.tutorial.currentStep
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 24
            Layout.bottomMargin: 8
        }
    }
}
