import QtQuick
import QtQuick.Controls.Basic

// A small round button at the panel's top corners (close, minimise, account).
AbstractButton {
    id: control

    property string systemImage
    property string label
    property string help: label

    implicitWidth: 26
    implicitHeight: 26
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
        color: control.pressed ? Qt.rgba(1, 1, 1, 0.26)
             : control.hovered ? Qt.rgba(1, 1, 1, 0.18) : Qt.rgba(0, 0, 0, 0.32)
        border.color: Qt.rgba(1, 1, 1, 0.08)
        Behavior on color { ColorAnimation { duration: 120 } }
    }
    contentItem: Item {
        Image {
            anchors.centerIn: parent
            source: Theme.symbol(control.systemImage)
            sourceSize: Qt.size(13, 13)
            width: 13
            height: 13
            opacity: control.enabled ? (control.hovered ? 1 : 0.85) : 0.3
        }
    }
}
