import QtQuick
import BrindlowNative

// The live picture of the chosen camera; its capture session stops when this goes away.
CameraPreviewSurface {
    id: preview

    property string deviceId

    device: recorder.previewCameraDevice
    radius: Theme.panelRadius

    Accessible.role: Accessible.Graphic
    Accessible.name: "Camera preview"
    Accessible.description: objectName
}
