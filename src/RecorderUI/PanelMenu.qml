import QtQuick
import QtQuick.Controls.Basic

// The dark pop-up menu of the pickers and the account button.
Menu {
    id: menu

    padding: 5
    // As wide as its widest entry, within the panel.
    implicitWidth: {
        let widest = 0
        for (let i = 0; i < count; ++i) {
            const item = itemAt(i)
            if (item && item.contentItem)
                widest = Math.max(widest, item.contentItem.implicitWidth + item.leftPadding + item.rightPadding)
        }
        return Math.min(296, Math.max(160, widest + leftPadding + rightPadding))
    }
    modal: false
    dim: false

    enter: Transition { NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 90 } }
    exit: Transition { NumberAnimation { property: "opacity"; from: 1; to: 0; duration: 70 } }

    background: Rectangle {
        implicitWidth: 180
        color: Theme.raised
        radius: 10
        border.color: Qt.rgba(1, 1, 1, 0.12)
    }
    delegate: PanelMenuItem {}
}
