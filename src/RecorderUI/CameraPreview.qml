import QtQuick
import BrindlowNative

// The live picture of the chosen camera; its watch of the camera ends when this goes away.
CameraPreviewSurface {
    id: preview

    controller: recorder
    cameraId: recorder.previewCameraId
    radius: Theme.panelRadius

    Accessible.role: Accessible.Graphic
    Accessible.name: "Camera preview"
    Accessible.description: objectName
}
