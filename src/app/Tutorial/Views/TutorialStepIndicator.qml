import QtQuick
import QtQuick.Controls

// One dot per tutorial step, in order; only the current step's dot is lit.
Row {
    id: indicator
    objectName: "tutorialStepIndicator"

    // The raw value of the current step.
    property int current: 0

    spacing: 8

    Repeater {
        model: 3
        Rectangle {
            required property int index
            objectName: "stepDot:" + index
            width: 8
            height: 8
            radius: 4
            color: index === indicator.current
                   ? indicator.palette.highlight
                   : Qt.rgba(indicator.palette.windowText.r, indicator.palette.windowText.g,
                             indicator.palette.windowText.b, 0.15)
        }
    }
}
