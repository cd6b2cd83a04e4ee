import QtQuick
import QtQuick.Controls.Basic

// One entry of a PanelMenu: a check mark when it is the current choice; `heading` makes
// it a section title that cannot be chosen, `info` a line that only tells something
// (with `hint` on its right, such as a key combination), `note` a small remark that
// wraps, such as why the entry above it cannot be chosen.
MenuItem {
    id: item

    property bool heading: false
    property bool info: false
    property bool note: false
    property string hint
    // The current choice of its menu.
    property bool chosen: false

    enabled: !heading && !info && !note
    implicitHeight: heading ? 24 : note ? label.implicitHeight + 10 : 30
    leftPadding: 28
    rightPadding: 10
    hoverEnabled: true

    Accessible.role: heading || info || note ? Accessible.StaticText : Accessible.MenuItem
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
        // A remark wraps to the menu's width instead of widening it.
        implicitWidth: item.note ? 0 : label.implicitWidth + (item.hint === "" ? 0 : hintText.implicitWidth + 16)
        implicitHeight: label.implicitHeight
        Text {
            id: label
            anchors.left: parent.left
            anchors.right: hintText.left
            anchors.rightMargin: item.hint === "" ? 0 : 16
            anchors.verticalCenter: parent.verticalCenter
            text: item.text
            // Dimmed: a title, a remark, or an entry that cannot be chosen now.
            color: item.heading || item.note || (!item.enabled && !item.info) ? Theme.secondaryText : Theme.text
            font.pixelSize: item.heading || item.note ? Theme.captionSize : Theme.bodySize
            font.weight: item.heading ? Font.DemiBold : Font.Normal
            wrapMode: item.note ? Text.WordWrap : Text.NoWrap
            elide: item.note ? Text.ElideNone : Text.ElideRight
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
