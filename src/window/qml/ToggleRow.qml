import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrio.Window

// A bilingual label with a switch at the end of the row. The switch follows `checked`; a
// press only reports the wanted state through toggledTo().
RowLayout {
    id: root

    property string korean
    property string english
    property bool checked
    signal toggledTo(bool on)

    spacing: 12

    BilingualText {
        Layout.fillWidth: true
        wrap: true
        korean: root.korean
        english: root.english
    }
    Switch {
        id: toggle
        objectName: root.objectName === "" ? "" : root.objectName + "Switch"
        checked: root.checked
        padding: 0
        implicitWidth: indicator.implicitWidth
        implicitHeight: indicator.implicitHeight
        Layout.alignment: Qt.AlignVCenter
        onToggled: {
            root.toggledTo(checked)
            // Shows the model's value again, whether or not it followed the press.
            checked = Qt.binding(() => root.checked)
        }
        indicator: Rectangle {
            implicitWidth: 42
            implicitHeight: 24
            radius: 12
            color: toggle.checked ? Theme.green : Qt.rgba(1, 1, 1, 0.18)
            Rectangle {
                width: 20
                height: 20
                radius: 10
                y: 2
                x: toggle.checked ? parent.width - width - 2 : 2
                color: "white"
            }
        }
        contentItem: Item {}
    }
}
