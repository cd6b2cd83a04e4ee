import QtQuick
import QtQuick.Controls.Basic

// The big button: a red dot to start, a red rounded square to stop, inside a white ring.
AbstractButton {
    id: control

    property bool stops: false
    property string label

    implicitWidth: 44
    implicitHeight: 44
    hoverEnabled: true
    focusPolicy: Qt.NoFocus

    Accessible.role: Accessible.Button
    Accessible.name: label
    Accessible.description: objectName
    Accessible.onPressAction: if (enabled) clicked()

    ToolTip.visible: hovered
    ToolTip.text: label + "  (Ctrl+Return)"
    ToolTip.delay: 900

    background: Rectangle {
        radius: width / 2
        color: control.hovered ? Qt.rgba(1, 1, 1, 0.12) : "transparent"
        border.width: 3
        border.color: Qt.rgba(1, 1, 1, control.pressed ? 0.7 : 0.92)
        Behavior on color { ColorAnimation { duration: 120 } }
    }
    contentItem: Item {
        Rectangle {
            anchors.centerIn: parent
            width: control.stops ? 16 : 32
            height: width
            radius: control.stops ? 4 : width / 2
            color: Theme.record
            scale: control.pressed ? 0.92 : 1
            Behavior on width { NumberAnimation { duration: 140; easing.type: Easing.OutCubic } }
            Behavior on radius { NumberAnimation { duration: 140 } }
        }
    }
}
