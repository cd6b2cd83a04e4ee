pragma Singleton
import QtQuick

// Colours, sizes and the symbol images every view shares.
QtObject {
    readonly property color brindlow: Qt.rgba(113 / 255, 47 / 255, 255 / 255, 1)
    readonly property color brindlowHover: Qt.rgba(131 / 255, 72 / 255, 255 / 255, 1)
    readonly property color surface: Qt.rgba(23 / 255, 23 / 255, 23 / 255, 1)
    readonly property color record: Qt.rgba(239 / 255, 68 / 255, 68 / 255, 1)
    readonly property color warning: "#fbbf24"
    readonly property color text: "#ffffff"
    readonly property color secondaryText: Qt.rgba(1, 1, 1, 0.68)
    readonly property color raised: "#262626"
    readonly property color hairline: Qt.rgba(1, 1, 1, 0.1)

    readonly property int panelRadius: 16
    readonly property int captionSize: 11
    readonly property int bodySize: 13
    readonly property int titleSize: 20

    function symbol(name) {
        return Qt.resolvedUrl("icons/" + name + ".svg")
    }
}
