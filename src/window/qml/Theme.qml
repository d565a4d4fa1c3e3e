pragma Singleton
import QtQuick

// Colours and type sizes of the window (sizes in device-independent pixels).
QtObject {
    readonly property string monospaceFamily: "monospace"

    readonly property color backgroundTopLeft: Qt.rgba(0.05, 0.07, 0.12, 1)
    readonly property color backgroundBottomRight: Qt.rgba(0.09, 0.12, 0.20, 1)
    readonly property color cardFill: Qt.rgba(1, 1, 1, 0.06)
    readonly property color cardBorder: Qt.rgba(1, 1, 1, 0.08)
    readonly property real cardRadius: 18
    readonly property color controlFill: Qt.rgba(1, 1, 1, 0.10)
    readonly property color controlFillPressed: Qt.rgba(1, 1, 1, 0.18)
    readonly property color controlBorder: Qt.rgba(1, 1, 1, 0.14)
    readonly property color selectedSegment: Qt.rgba(1, 1, 1, 0.22)

    readonly property color primary: "#f2f4f8"
    readonly property color secondary: Qt.rgba(0.92, 0.93, 0.96, 0.62)
    readonly property color green: "#30d158"
    readonly property color orange: "#ff9f0a"
    readonly property color red: "#ff453a"
    readonly property color cyan: "#0fa5c9"

    readonly property int titleSize: 25
    readonly property int headlineSize: 15
    readonly property int bodySize: 14
    readonly property int subheadlineSize: 13
    readonly property int footnoteSize: 12
    readonly property int captionSize: 11
}
