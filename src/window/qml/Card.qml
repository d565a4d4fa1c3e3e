import QtQuick
import QtQuick.Layouts
import Kestrio.Window

// A translucent rounded panel holding one column.
Rectangle {
    default property alias content: column.data
    property alias spacing: column.spacing

    implicitHeight: column.implicitHeight + 2 * column.anchors.margins
    color: Theme.cardFill
    border.color: Theme.cardBorder
    border.width: 1
    radius: Theme.cardRadius

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 18
        spacing: 14
    }
}
