import QtQuick
import QtQuick.Controls.Basic as C

// A small modal question over the panel with a confirming and a cancelling button.
C.Dialog {
    id: dialog

    property string message
    property string confirmText
    property string confirmObjectName
    property string cancelText
    property bool destructive: false
    // The panel the question stands over, dimmed while it is open.
    property Item host
    signal confirmed()

    parent: host
    anchors.centerIn: parent
    width: 288
    modal: true
    padding: 18
    topPadding: 20
    closePolicy: C.Popup.CloseOnEscape

    // The stock dimming would darken the window's transparent corners too.
    dim: false

    Rectangle {
        parent: dialog.host
        anchors.fill: parent
        z: 100
        radius: Theme.panelRadius
        color: Qt.rgba(0, 0, 0, 0.55)
        visible: dialog.visible
    }

    background: Rectangle {
        color: Theme.raised
        radius: 14
        border.color: Qt.rgba(1, 1, 1, 0.12)
    }
    header: null
    contentItem: Column {
        spacing: 8
        Text {
            width: parent.width
            text: dialog.title
            color: Theme.text
            font.pixelSize: 15
            font.weight: Font.DemiBold
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
        Text {
            width: parent.width
            text: dialog.message
            color: Theme.secondaryText
            font.pixelSize: 12
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
        Item { width: 1; height: 8 }
        Row {
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 8
            ActionButton {
                objectName: dialog.confirmObjectName + "-cancel"
                width: (dialog.availableWidth - 8) / 2
                text: dialog.cancelText
                onClicked: dialog.reject()
            }
            ActionButton {
                objectName: dialog.confirmObjectName
                width: (dialog.availableWidth - 8) / 2
                prominent: !dialog.destructive
                destructive: dialog.destructive
                text: dialog.confirmText
                onClicked: {
                    dialog.close()
                    dialog.confirmed()
                }
            }
        }
    }
}
