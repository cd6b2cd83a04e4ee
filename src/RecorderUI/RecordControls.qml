import QtQuick

// The big start/stop button, with pause and restart beside it while recording.
// Ctrl+Return starts or stops.
Item {
    id: controls

    readonly property bool recording: recorder.screen === "recording"
    readonly property bool paused: recorder.paused
    property bool confirmingRestart: false
    // A question is open over the panel; the shortcut waits for its answer.
    property bool asking: false
    // Where the restart question is shown.
    property Item questionHost: controls

    // 12 points of padding around the 44-point button.
    implicitHeight: 68
    onConfirmingRestartChanged: if (confirmingRestart) restartQuestion.open()

    Row {
        anchors.centerIn: parent
        spacing: 22

        RoundButton {
            objectName: "pause-resume"
            anchors.verticalCenter: parent.verticalCenter
            visible: controls.recording
            systemImage: controls.paused ? "play.fill" : "pause.fill"
            label: controls.paused ? "Resume recording" : "Pause recording"
            onClicked: controls.paused ? recorder.resume() : recorder.pause()
        }

        RecordButton {
            id: big
            objectName: controls.recording ? "stop" : "start-recording"
            anchors.verticalCenter: parent.verticalCenter
            stops: controls.recording
            label: controls.recording ? "Stop recording" : "Start recording"
            onClicked: controls.recording ? recorder.stop() : recorder.record()
        }

        RoundButton {
            objectName: "restart"
            anchors.verticalCenter: parent.verticalCenter
            visible: controls.recording
            systemImage: "arrow.counterclockwise"
            label: "Restart recording"
            help: "Throw this take away and start again with the same setup"
            onClicked: controls.confirmingRestart = true
        }
    }

    Shortcut {
        sequences: ["Ctrl+Return", "Ctrl+Enter"]
        enabled: !controls.confirmingRestart && !controls.asking
        onActivated: big.clicked()
    }

    Confirmation {
        id: restartQuestion
        objectName: "restart-confirmation"
        host: controls.questionHost
        title: "Restart recording?"
        message: "This take is thrown away and a new one starts."
        confirmText: "Restart"
        confirmObjectName: "confirm-restart"
        cancelText: "Cancel"
        onClosed: controls.confirmingRestart = false
        onConfirmed: recorder.restart()
    }
}
