import QtQuick
import QtQuick.Controls.Basic

// A round symbol button beside the big record button (pause, restart).
AbstractButton {
    id: control

    property string systemImage
    property string label
    property string help: label

    implicitWidth: 34
    implicitHeight: 34
    hoverEnabled: true
    focusPolicy: Qt.NoFocus

    Accessible.role: Accessible.Button
    Accessible.name: label
    Accessible.description: objectName
    Accessible.onPressAction: if (enabled) clicked()

    ToolTip.visible: hovered && help !== ""
    ToolTip.text: help
    ToolTip.delay: 700

    background: Rectangle {
        radius: width / 2
        color: control.pressed ? Qt.rgba(1, 1, 1, 0.3)
             : control.hovered ? Qt.rgba(1, 1, 1, 0.22) : Qt.rgba(1, 1, 1, 0.12)
        border.color: Qt.rgba(1, 1, 1, 0.1)
        Behavior on color { ColorAnimation { duration: 120 } }
    }
    contentItem: Item {
        Image {
            anchors.centerIn: parent
            source: Theme.symbol(control.systemImage)
            sourceSize: Qt.size(14, 14)
            width: 14
            height: 14
            opacity: control.enabled ? 0.95 : 0.35
        }
    }
}
