import QtQuick
import QtQuick.Controls.Basic

// A text button of the overlay and the dialogs; `prominent` fills it with the brand
// colour, `destructive` with the record colour.
AbstractButton {
    id: control

    property bool prominent: false
    property bool destructive: false
    property bool compact: false

    implicitWidth: Math.max(compact ? 56 : 120, label.implicitWidth + (compact ? 20 : 32))
    implicitHeight: compact ? 26 : 36
    hoverEnabled: true

    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.description: objectName
    Accessible.onPressAction: if (enabled) clicked()

    background: Rectangle {
        radius: control.compact ? 7 : 10
        color: {
            const base = control.destructive ? Theme.record : control.prominent ? Theme.brindlow : Qt.rgba(1, 1, 1, 0.12)
            if (control.pressed) return Qt.darker(base, 1.15)
            if (control.hovered) return control.destructive ? Qt.lighter(base, 1.1)
                                      : control.prominent ? Theme.brindlowHover : Qt.rgba(1, 1, 1, 0.2)
            return base
        }
        opacity: control.enabled ? 1 : 0.45
        Behavior on color { ColorAnimation { duration: 120 } }
    }
    contentItem: Text {
        id: label
        text: control.text
        color: Theme.text
        font.pixelSize: control.compact ? 12 : Theme.bodySize
        font.weight: Font.DemiBold
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
}
