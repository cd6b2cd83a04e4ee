import QtQuick

// An address the person may need to open themselves: shown whole and selectable, with
// a button that copies it. Identifiers are `name` for the text and `name + "-copy"`
// for the button.
Rectangle {
    id: box

    property string address
    property string name

    width: parent ? parent.width : 0
    implicitHeight: column.implicitHeight + 16
    radius: 9
    color: Qt.rgba(0, 0, 0, 0.35)
    border.color: Theme.hairline

    Column {
        id: column
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        anchors.margins: 8
        spacing: 8

        TextEdit {
            objectName: box.name
            width: parent.width
            text: box.address
            readOnly: true
            selectByMouse: true
            wrapMode: TextEdit.WrapAnywhere
            color: Theme.text
            selectionColor: Theme.brindlow
            font.pixelSize: 11
            font.family: "monospace"
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            Accessible.description: objectName
        }
        ActionButton {
            id: copy
            objectName: box.name + "-copy"
            anchors.horizontalCenter: parent.horizontalCenter
            compact: true
            text: copiedLately.running ? "Copied" : "Copy"
            onClicked: {
                recorder.copyText(box.address)
                copiedLately.restart()
            }
            Timer {
                id: copiedLately
                interval: 2000
            }
        }
    }
}
