import QtQuick

// The back of the panel: the live camera when one is chosen and allowed, otherwise a
// symbol and a hint. The hint only shows while nothing else fills the middle.
Item {
    id: surface

    readonly property string screen: recorder.screen
    readonly property bool previewing: recorder.previewCameraId !== ""
    readonly property bool overlayEmpty: screen === "setup" || screen === "recording"

    Loader {
        anchors.fill: parent
        active: surface.previewing
        sourceComponent: CameraPreview {
            objectName: "camera-preview"
        }
    }

    Column {
        anchors.centerIn: parent
        anchors.verticalCenterOffset: -30
        width: parent.width - 40
        spacing: 14
        visible: !surface.previewing && !recorder.isPreview && surface.overlayEmpty

        Image {
            anchors.horizontalCenter: parent.horizontalCenter
            source: Theme.symbol(recorder.displayId >= 0 ? "display" : "video.slash")
            sourceSize: Qt.size(56, 56)
            width: 56
            height: 56
            opacity: 0.4
        }
        Text {
            objectName: "camera-placeholder"
            width: parent.width
            text: recorder.cameraId !== "" && !recorder.cameraAllowed
                  ? "Allow camera access in System Settings to see yourself here."
                  : recorder.displayId < 0 ? "Turn on your camera or pick a screen to start."
                                           : "Recording your screen \u2014 camera is off."
            color: Theme.secondaryText
            font.pixelSize: Theme.bodySize
            lineHeight: 1.2
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            Accessible.description: objectName
        }
    }

    Image {
        anchors.centerIn: parent
        anchors.verticalCenterOffset: -20
        visible: !surface.previewing && recorder.isPreview && surface.overlayEmpty
        source: Theme.symbol("person.fill")
        sourceSize: Qt.size(150, 150)
        width: 150
        height: 150
        opacity: 0.18
    }
}
