import QtQuick
import QtQuick.Controls.Basic
import Kestrio.Window

// Segments of equal width, one of them selected. `options` holds {korean, english}; a press
// only reports the segment through activated().
Rectangle {
    id: root

    property var options: []
    property int currentIndex: -1
    property bool showEnglish: true
    signal activated(int index)

    implicitHeight: segments.implicitHeight + 6
    radius: 9
    color: Qt.rgba(1, 1, 1, 0.06)
    border.color: Theme.controlBorder
    border.width: 1

    Row {
        id: segments
        x: 3
        y: 3
        spacing: 3

        Repeater {
            model: root.options
            delegate: Button {
                id: segment
                objectName: root.objectName === "" ? "" : root.objectName + "Segment" + index
                width: (root.width - 6 - segments.spacing * (root.options.length - 1)) / root.options.length
                padding: 5
                onClicked: root.activated(index)
                background: Rectangle {
                    implicitHeight: 34
                    radius: 7
                    color: index === root.currentIndex ? Theme.selectedSegment : segment.down ? Theme.controlFill : "transparent"
                }
                contentItem: Item {
                    implicitWidth: label.implicitWidth
                    implicitHeight: label.implicitHeight
                    BilingualText {
                        id: label
                        width: parent.width
                        anchors.verticalCenter: parent.verticalCenter
                        korean: modelData.korean
                        english: modelData.english
                        showEnglish: root.showEnglish
                        koreanSize: Theme.subheadlineSize
                        koreanWeight: index === root.currentIndex ? Font.DemiBold : Font.Normal
                        horizontalAlignment: Text.AlignHCenter
                        wrap: true
                    }
                }
            }
        }
    }
}
