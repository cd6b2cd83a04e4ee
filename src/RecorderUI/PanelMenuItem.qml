import QtQuick
import QtQuick.Controls.Basic

// One entry of a PanelMenu: a check mark when it is the current choice; `heading` makes
// it a section title that cannot be chosen.
MenuItem {
    id: item

    property bool heading: false
    // The current choice of its menu.
    property bool chosen: false

    enabled: !heading
    implicitHeight: heading ? 24 : 30
    leftPadding: 28
    rightPadding: 10
    hoverEnabled: true

    Accessible.role: heading ? Accessible.StaticText : Accessible.MenuItem
    Accessible.name: text
    Accessible.description: objectName
    Accessible.onPressAction: if (!heading) triggered()

    indicator: Text {
        x: 10
        anchors.verticalCenter: parent.verticalCenter
        visible: item.chosen
        text: "\u2713"
        color: Theme.text
        font.pixelSize: 13
        font.weight: Font.Bold
    }
    contentItem: Text {
        text: item.text
        color: item.heading ? Theme.secondaryText : Theme.text
        font.pixelSize: item.heading ? Theme.captionSize : Theme.bodySize
        font.weight: item.heading ? Font.DemiBold : Font.Normal
        elide: Text.ElideRight
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        radius: 6
        color: item.highlighted && !item.heading ? Qt.rgba(113 / 255, 47 / 255, 1, 0.55) : "transparent"
    }
}
