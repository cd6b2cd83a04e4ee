import QtQuick

// The whole recorder: the camera surface at the back, the current screen's overlay,
// then the top bar, the notices and, while setting up or recording, the record
// controls and the device tool bar. A dark rounded panel on a transparent window.
Rectangle {
    id: panel

    property bool confirmingDiscard: false
    readonly property string screen: recorder.screen
    readonly property bool controlsShown: screen === "setup" || screen === "recording"

    width: 320
    height: 560
    radius: Theme.panelRadius
    color: Theme.surface
    border.color: Qt.rgba(1, 1, 1, 0.1)
    border.width: 1

    onConfirmingDiscardChanged: if (confirmingDiscard) discardQuestion.open()

    Component.onCompleted: recorder.refreshDevices()

    Connections {
        target: recorder
        function onCameraIdChanged() { recorder.refreshCameraAccess() }
        function onDiscardRequested() { panel.confirmingDiscard = true }
        // A take that ended on its own leaves nothing to discard.
        function onScreenChanged() {
            if (recorder.screen !== "countdown" && recorder.screen !== "recording") discardQuestion.close()
        }
    }
    Connections {
        target: Qt.application
        function onStateChanged() {
            if (Qt.application.state === Qt.ApplicationActive && recorder.screen === "setup")
                recorder.refreshDevices()
        }
    }

    // Dragging the background moves the window; without a window manager that could
    // move it, the window follows the pointer itself.
    MouseArea {
        id: mover
        anchors.fill: parent
        property point pressedAt
        property point windowAt
        property bool manual: false
        onPressed: mouse => {
            manual = !(typeof recorderWindow !== "undefined" && recorderWindow.startSystemMove())
            pressedAt = mover.mapToGlobal(mouse.x, mouse.y)
            windowAt = typeof recorderWindow !== "undefined" ? Qt.point(recorderWindow.x, recorderWindow.y) : Qt.point(0, 0)
        }
        onPositionChanged: mouse => {
            if (!manual || typeof recorderWindow === "undefined") return
            const now = mover.mapToGlobal(mouse.x, mouse.y)
            recorderWindow.x = windowAt.x + now.x - pressedAt.x
            recorderWindow.y = windowAt.y + now.y - pressedAt.y
        }
    }

    CameraSurface {
        anchors.fill: parent
        anchors.margins: 1
    }

    Overlay {
        anchors.fill: parent
        anchors.topMargin: 46
        anchors.bottomMargin: panel.controlsShown ? 130 : 0
    }

    Column {
        anchors.fill: parent

        TopBar {
            width: parent.width
        }
    }

    Column {
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: 10
        spacing: 10

        Notices {
            width: parent.width
        }
        Loader {
            width: parent.width
            active: panel.controlsShown
            visible: active
            sourceComponent: Column {
                RecordControls {
                    width: parent.width
                    questionHost: panel
                    asking: panel.confirmingDiscard
                }
                Toolbar {
                    width: parent.width
                }
            }
        }
    }

    Confirmation {
        id: discardQuestion
        objectName: "discard-confirmation"
        host: panel
        title: "Discard this recording?"
        message: "Nothing from this take is saved."
        confirmText: "Discard"
        confirmObjectName: "confirm-discard"
        cancelText: "Keep recording"
        destructive: true
        onClosed: panel.confirmingDiscard = false
        onConfirmed: recorder.discard()
    }
}
