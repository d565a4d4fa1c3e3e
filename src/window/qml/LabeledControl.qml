import QtQuick
import QtQuick.Layouts
import Kestrio.Window

// A bilingual label on the left of a control that takes the rest of the row.
RowLayout {
    id: root

    property string korean
    property string english
    default property alias control: holder.data

    spacing: 12

    BilingualText {
        Layout.preferredWidth: 132
        Layout.alignment: Qt.AlignVCenter
        wrap: true
        korean: root.korean
        english: root.english
    }
    Item {
        id: holder
        Layout.fillWidth: true
        implicitHeight: children.length > 0 ? children[0].implicitHeight : 0
    }
}
