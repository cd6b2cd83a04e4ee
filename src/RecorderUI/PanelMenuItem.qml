import QtQuick
import QtQuick.Controls.Basic

// One entry of a PanelMenu: a check mark when it is the current choice; `heading` makes
// it a section title that cannot be chosen, `info` a line that only tells something
// (with `hint` on its right, such as a key combination).
MenuItem {
    id: item

    property bool heading: false
    property bool info: false
    property string hint
    // The current choice of its menu.
    property bool chosen: false

    enabled: !heading && !info
    implicitHeight: heading ? 24 : 30
    leftPadding: 28
    rightPadding: 10
    hoverEnabled: true

    Accessible.role: heading || info ? Accessible.StaticText : Accessible.MenuItem
    Accessible.name: hint === "" ? text : text + " " + hint
    Accessible.description: objectName
    Accessible.onPressAction: if (enabled) triggered()

    indicator: Text {
        x: 10
        anchors.verticalCenter: parent.verticalCenter
        visible: item.chosen
        text: "\u2713"
        color: Theme.text
        font.pixelSize: 13
        font.weight: Font.Bold
    }
    contentItem: Item {
        implicitWidth: label.implicitWidth + (item.hint === "" ? 0 : hintText.implicitWidth + 16)
        implicitHeight: label.implicitHeight
        Text {
            id: label
            anchors.left: parent.left
            anchors.right: hintText.left
            anchors.rightMargin: item.hint === "" ? 0 : 16
            anchors.verticalCenter: parent.verticalCenter
            text: item.text
            color: item.heading ? Theme.secondaryText : Theme.text
            font.pixelSize: item.heading ? Theme.captionSize : Theme.bodySize
            font.weight: item.heading ? Font.DemiBold : Font.Normal
            elide: Text.ElideRight
        }
        Text {
            id: hintText
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            text: item.hint
            color: Theme.secondaryText
            font.pixelSize: Theme.captionSize
        }
    }
    background: Rectangle {
        radius: 6
        color: item.highlighted && !item.heading ? Qt.rgba(113 / 255, 47 / 255, 1, 0.55) : "transparent"
    }
}
