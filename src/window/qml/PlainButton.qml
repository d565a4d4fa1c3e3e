import QtQuick
import QtQuick.Controls.Basic
import Kestrio.Window

// A small rounded button; its content is set by the user of it.
Button {
    id: control

    padding: 8
    leftPadding: 12
    rightPadding: 12
    opacity: enabled ? 1 : 0.4
    background: Rectangle {
        implicitHeight: 30
        radius: 8
        color: control.down ? Theme.controlFillPressed : Theme.controlFill
        border.color: Theme.controlBorder
        border.width: 1
    }
}
