import QtQuick
import QtQuick.Layouts
import Kestrio.Window

// A missing permission, in orange, with the button that opens the settings for it.
RowLayout {
    id: root

    property string korean
    property string english
    property string iconName
    signal openRequested()

    spacing: 10

    Icon {
        symbol: root.iconName
        color: Theme.orange
        size: 18
        Layout.alignment: Qt.AlignVCenter
    }
    BilingualText {
        objectName: root.objectName === "" ? "" : root.objectName + "Text"
        Layout.fillWidth: true
        wrap: true
        korean: root.korean
        english: root.english
        koreanWeight: Font.DemiBold
        koreanColor: Theme.orange
        englishColor: Qt.rgba(1, 0.62, 0.04, 0.75)
    }
    BilingualButton {
        objectName: root.objectName === "" ? "" : root.objectName + "Button"
        korean: "설정 열기"
        english: "Open Settings"
        onClicked: root.openRequested()
    }
}
