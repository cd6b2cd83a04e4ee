import QtQuick

// Close and minimise on the left, the elapsed time in the middle, the environment and
// the account on the right.
Item {
    id: bar

    implicitHeight: 46

    readonly property string screen: recorder.screen

    Row {
        anchors.left: parent.left
        anchors.leftMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        spacing: 8

        CornerButton {
            objectName: "close"
            systemImage: "xmark"
            label: "Close recorder"
            help: bar.screen === "finishing" ? "Saving your recording\u2026" : "Close"
            enabled: bar.screen !== "finishing"
            // During a take the recorder asks first (discardRequested).
            onClicked: recorder.closeRecorder()
        }
        CornerButton {
            objectName: "minimize"
            systemImage: "minus"
            label: "Minimize recorder"
            onClicked: recorder.minimize()
        }
    }

    Loader {
        anchors.centerIn: parent
        active: bar.screen === "recording"
        sourceComponent: ElapsedPill { paused: recorder.paused }
    }

    Row {
        anchors.right: parent.right
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        spacing: 8
        layoutDirection: Qt.RightToLeft

        Loader {
            anchors.verticalCenter: parent.verticalCenter
            active: recorder.signedIn && bar.screen === "setup"
            sourceComponent: CornerButton {
                id: account
                objectName: "account-menu"
                systemImage: "person.crop.circle"
                label: "Account"
                onClicked: accountMenu.opened ? accountMenu.close() : accountMenu.open()

                PanelMenu {
                    id: accountMenu
                    objectName: "account-menu-items"
                    y: account.height + 6
                    x: account.width - width

                    PanelMenuItem {
                        objectName: "sign-out"
                        text: "Sign out"
                        leftPadding: 12
                        onTriggered: recorder.signOut()
                    }
                    PanelMenuItem {
                        heading: true
                        visible: recorder.shortcuts.length > 0 || recorder.shortcutsNote !== ""
                        height: visible ? implicitHeight : 0
                        text: "Shortcuts, from any app"
                        leftPadding: 12
                    }
                    Instantiator {
                        model: recorder.shortcuts
                        delegate: PanelMenuItem {
                            required property var modelData
                            required property int index
                            objectName: "shortcut-" + index
                            info: true
                            leftPadding: 12
                            text: modelData.name
                            hint: modelData.note !== "" ? modelData.note : modelData.keys
                        }
                        onObjectAdded: (index, object) => accountMenu.insertItem(index + 2, object)
                        onObjectRemoved: (index, object) => accountMenu.removeItem(object)
                    }
                    PanelMenuItem {
                        objectName: "shortcuts-note"
                        info: true
                        visible: recorder.shortcutsNote !== ""
                        height: visible ? implicitHeight : 0
                        leftPadding: 12
                        text: recorder.shortcutsNote
                    }
                }
            }
        }
        Rectangle {
            objectName: "environment-badge"
            visible: recorder.envName !== "prod"
            anchors.verticalCenter: parent.verticalCenter
            implicitWidth: badgeText.implicitWidth + 14
            implicitHeight: 18
            radius: 9
            color: Qt.rgba(113 / 255, 47 / 255, 1, 0.28)
            border.color: Qt.rgba(113 / 255, 47 / 255, 1, 0.7)

            Accessible.role: Accessible.StaticText
            Accessible.name: recorder.envName
            Accessible.description: "environment"

            Text {
                id: badgeText
                anchors.centerIn: parent
                text: recorder.envName
                color: Theme.text
                font.pixelSize: 10
                font.weight: Font.Bold
                font.capitalization: Font.AllUppercase
                font.letterSpacing: 0.8
            }
        }
    }
}
