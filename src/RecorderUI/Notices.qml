import QtQuick

// The error, the upload backlog and, while setting up, the permission hints, stacked
// top to bottom; nothing at all when none applies.
Column {
    id: notices

    readonly property string screen: recorder.screen
    // The signed-out screen already shows the error under its button.
    readonly property bool showsError: recorder.error !== "" && screen !== "signedOut"
    // Displays that cannot be listed say why; the screen-capture permission is asked
    // for only when they can be, as on a desktop that guards capture with a setting.
    readonly property bool displaysFailed: screen === "setup" && recorder.displayProblem !== ""
    readonly property bool needsScreenCapture: screen === "setup" && !recorder.isPreview && !displaysFailed
                                               && !recorder.hasScreenCapturePermission
    readonly property bool offersAccessibility: screen === "setup" && !needsScreenCapture && !displaysFailed
                                                && recorder.displayId >= 0 && !recorder.hasAccessibilityPermission

    spacing: 8

    component Note: Rectangle {
        id: note
        property alias text: noteText.text
        property alias textColor: noteText.color
        property alias textObjectName: noteText.objectName
        default property alias actions: actionRow.data

        width: notices.width
        implicitHeight: Math.max(noteText.implicitHeight, actionRow.implicitHeight) + 20
        radius: 10
        color: Qt.rgba(0, 0, 0, 0.45)
        border.color: Theme.hairline

        Text {
            id: noteText
            anchors.left: parent.left
            anchors.right: actionRow.left
            anchors.leftMargin: 12
            anchors.rightMargin: actionRow.width > 0 ? 10 : 12
            anchors.verticalCenter: parent.verticalCenter
            color: Theme.text
            font.pixelSize: 12
            lineHeight: 1.15
            wrapMode: Text.WordWrap
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            Accessible.description: objectName
        }
        Row {
            id: actionRow
            anchors.right: parent.right
            anchors.rightMargin: 10
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    Loader {
        active: notices.showsError
        visible: active
        sourceComponent: Note {
            textObjectName: "recorder-error"
            text: recorder.error
            textColor: Theme.warning
        }
    }
    Loader {
        active: recorder.backlogNotice !== ""
        visible: active
        sourceComponent: Note {
            textObjectName: "backlog-notice"
            text: recorder.backlogNotice
        }
    }
    Loader {
        active: notices.displaysFailed
        visible: active
        sourceComponent: Note {
            textObjectName: "display-problem-notice"
            text: "Your screens can't be listed: " + recorder.displayProblem
                  + ". Start Brindlow from your desktop session, then try again."
            ActionButton {
                objectName: "retry-displays"
                compact: true
                text: "Try again"
                onClicked: recorder.refreshDevices()
            }
        }
    }
    Loader {
        active: notices.needsScreenCapture
        visible: active
        sourceComponent: Note {
            textObjectName: "screen-capture-notice"
            text: "To record your screen, allow Screen Recording in System Settings, then reopen Brindlow."
            ActionButton {
                objectName: "open-screen-capture-settings"
                compact: true
                text: "Open System Settings"
                onClicked: recorder.openScreenCaptureSettings()
            }
        }
    }
    Loader {
        active: notices.offersAccessibility
        visible: active
        sourceComponent: Note {
            textObjectName: "accessibility-notice"
            text: "Optional: allow Accessibility so zooms frame the button you click."
            ActionButton {
                objectName: "allow-accessibility"
                compact: true
                prominent: true
                text: "Allow"
                onClicked: recorder.requestAccessibilityPermission()
            }
        }
    }
}
