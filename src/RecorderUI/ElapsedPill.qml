import QtQuick

// The recorded time in a small capsule; the dot pulses while recording and stands
// hollow while paused.
Rectangle {
    id: pill

    property bool paused: false

    objectName: "elapsed"
    implicitWidth: row.implicitWidth + 20
    implicitHeight: 24
    radius: height / 2
    color: Qt.rgba(0, 0, 0, 0.55)
    border.color: Qt.rgba(1, 1, 1, 0.1)

    Accessible.role: Accessible.StaticText
    Accessible.name: recorder.clockText
    Accessible.description: objectName

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 7

        Rectangle {
            id: dot
            anchors.verticalCenter: parent.verticalCenter
            width: 8
            height: 8
            radius: 4
            color: pill.paused ? "transparent" : Theme.record
            border.width: pill.paused ? 1.5 : 0
            border.color: Theme.record

            SequentialAnimation on opacity {
                running: !pill.paused
                loops: Animation.Infinite
                alwaysRunToEnd: true
                NumberAnimation { from: 1; to: 0.35; duration: 700; easing.type: Easing.InOutQuad }
                NumberAnimation { from: 0.35; to: 1; duration: 700; easing.type: Easing.InOutQuad }
            }
        }
        Text {
            objectName: "elapsed-text"
            anchors.verticalCenter: parent.verticalCenter
            text: recorder.clockText
            color: Theme.text
            font.family: "DejaVu Sans Mono"
            font.pixelSize: Theme.captionSize + 1
        }
    }
}
