import QtQuick
import QtQuick.Layouts
import Kestrio.Window

// Something the desktop does not allow, in orange, with the button that deals with it (opens its
// settings, checks again, or turns to another way).
RowLayout {
    id: root

    property string korean
    property string english
    property string iconName
    property string buttonKorean
    property string buttonEnglish
    signal buttonClicked()

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
        korean: root.buttonKorean
        english: root.buttonEnglish
        onClicked: root.buttonClicked()
    }
}
