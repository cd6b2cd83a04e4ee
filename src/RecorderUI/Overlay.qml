import QtQuick
import QtQuick.Controls.Basic as C

// What the current screen says in the middle of the panel. Only the current screen's
// content exists, so every identifier is on screen at most once.
Item {
    id: overlay

    readonly property string screen: recorder.screen

    Loader {
        id: content
        anchors.centerIn: parent
        width: parent.width - 48
        sourceComponent: {
            switch (overlay.screen) {
            case "loading": return loading
            case "signedOut": return signedOut
            case "signingIn": return signingIn
            case "countdown": return countdown
            case "finishing": return finishing
            case "saved": return saved
            case "failed": return failed
            default: return null
            }
        }
    }

    component Body: Text {
        width: parent ? parent.width : 0
        color: Theme.secondaryText
        font.pixelSize: Theme.bodySize
        lineHeight: 1.2
        wrapMode: Text.WordWrap
        horizontalAlignment: Text.AlignHCenter
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }
    component Title: Text {
        width: parent ? parent.width : 0
        color: Theme.text
        font.pixelSize: Theme.titleSize
        font.weight: Font.DemiBold
        wrapMode: Text.WordWrap
        horizontalAlignment: Text.AlignHCenter
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }
    component Spinner: C.BusyIndicator {
        anchors.horizontalCenter: parent.horizontalCenter
        implicitWidth: 40
        implicitHeight: 40
        running: visible
        palette.dark: Theme.text
    }

    Component {
        id: loading
        Column {
            Spinner { objectName: "loading" }
        }
    }

    Component {
        id: signedOut
        Column {
            spacing: 14

            Rectangle {
                anchors.horizontalCenter: parent.horizontalCenter
                width: 56
                height: 56
                radius: 16
                color: Theme.brindlow
                Rectangle {
                    anchors.centerIn: parent
                    width: 22
                    height: 22
                    radius: 11
                    color: Theme.text
                }
            }
            Title {
                text: "Brindlow"
                font.pixelSize: 26
                font.weight: Font.Bold
            }
            Body { text: "Record your screen and camera. Recordings upload while you record and open in Brindlow when you stop." }
            Item { width: 1; height: 4 }
            ActionButton {
                objectName: "sign-in"
                anchors.horizontalCenter: parent.horizontalCenter
                width: parent.width
                prominent: true
                text: "Sign in with your browser"
                onClicked: recorder.startSignIn()
            }
            Loader {
                width: parent.width
                active: recorder.error !== ""
                sourceComponent: Body {
                    objectName: "recorder-error"
                    text: recorder.error
                    color: Theme.warning
                    font.pixelSize: 12
                    Accessible.description: objectName
                }
            }
        }
    }

    Component {
        id: signingIn
        Column {
            readonly property bool browserFailed: recorder.unopenedUrl !== "" && recorder.unopenedUrl === recorder.signInUrl
            spacing: 14
            Spinner {}
            Body {
                objectName: "sign-in-hint"
                text: parent.browserFailed ? "Your browser didn't open. Open this address in a browser to sign in:"
                                           : "Finish signing in in your browser."
                color: parent.browserFailed ? Theme.warning : Theme.secondaryText
            }
            Body {
                visible: !parent.browserFailed && recorder.signInUrl !== ""
                text: "Or open this address in any browser:"
                font.pixelSize: Theme.captionSize
            }
            AddressBox {
                name: "sign-in-url"
                visible: recorder.signInUrl !== ""
                address: recorder.signInUrl
            }
            ActionButton {
                objectName: "cancel-sign-in"
                anchors.horizontalCenter: parent.horizontalCenter
                text: "Cancel"
                onClicked: recorder.cancelSignIn()
            }
        }
    }

    Component {
        id: countdown
        Column {
            spacing: 18
            Text {
                objectName: "countdown"
                anchors.horizontalCenter: parent.horizontalCenter
                text: String(recorder.countdown)
                color: Theme.text
                font.pixelSize: 72
                font.weight: Font.DemiBold
                style: Text.Raised
                styleColor: Qt.rgba(0, 0, 0, 0.35)
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                Accessible.description: objectName
            }
            ActionButton {
                objectName: "cancel-countdown"
                anchors.horizontalCenter: parent.horizontalCenter
                text: "Cancel"
                onClicked: recorder.cancelCountdown()
            }
        }
    }

    Component {
        id: finishing
        Column {
            spacing: 16
            Spinner {}
            Body { text: "Uploading the last few seconds\u2026" }
        }
    }

    Component {
        id: saved
        Column {
            spacing: 12
            Rectangle {
                anchors.horizontalCenter: parent.horizontalCenter
                width: 52
                height: 52
                radius: 26
                color: Theme.brindlow
                Image {
                    anchors.centerIn: parent
                    source: Theme.symbol("checkmark.circle.fill")
                    sourceSize: Qt.size(30, 30)
                    width: 30
                    height: 30
                }
            }
            Title { text: "Saved to Brindlow" }
            Body { text: "It's processing now and will be ready to watch in a moment." }
            Item { width: 1; height: 6 }
            ActionButton {
                objectName: "open-recording"
                visible: recorder.savedUrl !== ""
                anchors.horizontalCenter: parent.horizontalCenter
                width: parent.width
                prominent: true
                text: "Open in Brindlow"
                onClicked: recorder.openRecording()
            }
            Body {
                visible: recorder.unopenedUrl !== ""
                text: "Your browser didn't open. The recording is at:"
                color: Theme.warning
                font.pixelSize: 12
            }
            AddressBox {
                name: "recording-url"
                visible: recorder.unopenedUrl !== ""
                address: recorder.unopenedUrl
            }
            ActionButton {
                objectName: "new-recording"
                anchors.horizontalCenter: parent.horizontalCenter
                width: parent.width
                text: "New recording"
                onClicked: recorder.newRecording()
            }
        }
    }

    Component {
        id: failed
        Column {
            spacing: 12
            Image {
                anchors.horizontalCenter: parent.horizontalCenter
                source: Theme.symbol("exclamationmark.triangle.fill")
                sourceSize: Qt.size(36, 36)
                width: 36
                height: 36
                opacity: 0.9
            }
            Body {
                objectName: "failure-message"
                text: recorder.failureMessage
                color: Theme.text
            }
            Item { width: 1; height: 6 }
            ActionButton {
                objectName: "retry-save"
                visible: recorder.canRetrySave
                anchors.horizontalCenter: parent.horizontalCenter
                width: parent.width
                prominent: true
                text: "Try saving again"
                onClicked: recorder.retrySave()
            }
            ActionButton {
                objectName: "new-recording"
                anchors.horizontalCenter: parent.horizontalCenter
                width: parent.width
                text: "New recording"
                onClicked: recorder.newRecording()
            }
        }
    }
}
