import QtQuick
import QtQuick.Controls.Basic

// A tool bar button that opens a menu of choices: its symbol and its (shortened) label,
// dimmed when the device is off.
AbstractButton {
    id: picker

    property string systemImage
    property bool off: false
    property string label
    // The choices: "No …" first, then one entry per option; the current one is ticked.
    property string heading
    property string noneText
    property var noneValue
    property var options
    property var currentValue
    // Entries after the choices.
    default property alias extra: menu.contentData
    signal chosen(var value)

    implicitHeight: 44
    hoverEnabled: true
    focusPolicy: Qt.NoFocus

    Accessible.role: Accessible.ButtonMenu
    Accessible.name: label
    Accessible.description: objectName
    Accessible.onPressAction: if (enabled) clicked()

    onClicked: menu.opened ? menu.close() : menu.open()

    background: Rectangle {
        radius: 9
        color: picker.hovered || menu.opened ? Qt.rgba(1, 1, 1, 0.1) : "transparent"
        Behavior on color { ColorAnimation { duration: 100 } }
    }
    contentItem: Item {
        Column {
            anchors.centerIn: parent
            width: parent.width - 4
            spacing: 3
            Image {
                anchors.horizontalCenter: parent.horizontalCenter
                source: Theme.symbol(picker.systemImage)
                sourceSize: Qt.size(16, 16)
                width: 16
                height: 16
                opacity: picker.off ? 0.5 : 0.9
            }
            Text {
                width: parent.width
                text: picker.label
                color: Qt.rgba(1, 1, 1, picker.off ? 0.5 : 0.9)
                font.pixelSize: 10
                font.weight: Font.Medium
                horizontalAlignment: Text.AlignHCenter
                elide: Text.ElideRight
            }
        }
    }
    opacity: enabled ? 1 : 0.55

    PanelMenu {
        id: menu
        objectName: picker.objectName + "-menu"
        y: -height - 6
        x: Math.min(0, picker.parent ? picker.parent.width - picker.x - width : 0)

        PanelMenuItem {
            heading: true
            text: picker.heading
            visible: picker.heading !== ""
            height: visible ? implicitHeight : 0
        }
        PanelMenuItem {
            objectName: picker.objectName + "-none"
            text: picker.noneText
            chosen: picker.currentValue === picker.noneValue
            onTriggered: picker.chosen(picker.noneValue)
        }
        Instantiator {
            model: picker.options
            delegate: PanelMenuItem {
                required property var value
                required property string label
                required property int index
                objectName: picker.objectName + "-option-" + index
                text: label
                chosen: value === picker.currentValue
                onTriggered: picker.chosen(value)
            }
            onObjectAdded: (index, object) => menu.insertItem(index + 2, object)
            onObjectRemoved: (index, object) => menu.removeItem(object)
        }
    }
}
