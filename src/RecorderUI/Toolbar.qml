import QtQuick

// The device pickers: microphone, camera, screen (with the frame rate). Only usable
// while setting up; a running take keeps its devices.
Rectangle {
    id: toolbar

    implicitHeight: 52
    radius: 12
    color: Qt.rgba(1, 1, 1, 0.07)
    border.color: Theme.hairline
    enabled: recorder.screen === "setup"

    Row {
        id: pickers
        anchors.fill: parent
        anchors.margins: 4
        spacing: 2

        readonly property real pickerWidth: (width - 2 * spacing) / 3

        DevicePicker {
            objectName: "mic-picker"
            width: pickers.pickerWidth
            readonly property bool withSound: recorder.computerSound && recorder.computerSoundProblem === ""
            systemImage: recorder.micId === "" ? (withSound ? "speaker.wave.2" : "mic.slash") : "mic"
            off: recorder.micId === "" && !withSound
            label: recorder.micLabel
            noneText: "No microphone"
            noneValue: ""
            options: recorder.mics
            currentValue: recorder.micId
            onChosen: value => recorder.micId = value

            MenuSeparator {}
            PanelMenuItem {
                objectName: "computer-sound"
                text: "Computer sound"
                chosen: recorder.computerSound
                enabled: recorder.computerSoundProblem === ""
                onTriggered: recorder.computerSound = !recorder.computerSound
            }
            // Why the entry above cannot be chosen.
            PanelMenuItem {
                objectName: "computer-sound-problem"
                note: true
                text: recorder.computerSoundProblem
                visible: text !== ""
                height: visible ? implicitHeight : 0
            }
        }
        DevicePicker {
            objectName: "camera-picker"
            width: pickers.pickerWidth
            systemImage: off ? "video.slash" : "camera"
            off: recorder.cameraId === ""
            label: recorder.cameraLabel
            noneText: "No camera"
            noneValue: ""
            options: recorder.cameras
            currentValue: recorder.cameraId
            onChosen: value => recorder.cameraId = value
        }
        DevicePicker {
            objectName: "display-picker"
            width: pickers.pickerWidth
            systemImage: off ? "rectangle.slash" : "display"
            off: recorder.displayId < 0
            label: recorder.displayLabel
            heading: "Screen"
            noneText: "No screen"
            noneValue: -1
            options: recorder.displays
            currentValue: recorder.displayId
            onChosen: value => recorder.displayId = value

            MenuSeparator {}
            PanelMenuItem {
                heading: true
                text: "Frame rate"
            }
            PanelMenuItem {
                objectName: "fps-30"
                text: "30 fps"
                chosen: recorder.fps === 30
                onTriggered: recorder.fps = 30
            }
            PanelMenuItem {
                objectName: "fps-60"
                text: "60 fps"
                chosen: recorder.fps === 60
                onTriggered: recorder.fps = 60
            }
        }
    }

    component MenuSeparator: Rectangle {
        implicitWidth: 180
        implicitHeight: 9
        color: "transparent"
        Rectangle {
            anchors.centerIn: parent
            width: parent.width - 12
            height: 1
            color: Theme.hairline
        }
    }
}
