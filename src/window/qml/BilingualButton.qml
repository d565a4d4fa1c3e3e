import QtQuick
import Kestrio.Window

// A small button labelled with a Korean line over an English one, and a symbol before them.
PlainButton {
    id: control

    property string korean
    property string english
    property string iconName
    property color tint: Theme.primary

    contentItem: Row {
        spacing: 6
        Icon {
            visible: control.iconName !== ""
            symbol: control.iconName
            color: control.tint
            size: 14
            anchors.verticalCenter: parent.verticalCenter
        }
        BilingualText {
            objectName: control.objectName === "" ? "" : control.objectName + "Label"
            korean: control.korean
            english: control.english
            koreanSize: Theme.footnoteSize
            koreanWeight: Font.DemiBold
            koreanColor: control.tint
            anchors.verticalCenter: parent.verticalCenter
        }
    }
}
