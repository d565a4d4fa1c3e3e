import QtQuick
import QtQuick.Controls.Basic
import Kestrio.Window

// A pop-up list of {korean, english} options. It shows `selectedIndex`; a choice only reports
// its index through chosen(), and the list goes back to following `selectedIndex`.
ComboBox {
    id: control

    property int selectedIndex: -1
    property bool showEnglish: true
    signal chosen(int index)

    currentIndex: selectedIndex
    onActivated: (index) => {
        chosen(index)
        currentIndex = Qt.binding(() => control.selectedIndex)
    }

    textRole: "korean"
    implicitHeight: 44
    leftPadding: 12
    rightPadding: 34

    background: Rectangle {
        radius: 8
        color: control.down ? Theme.controlFillPressed : Theme.controlFill
        border.color: Theme.controlBorder
        border.width: 1
    }
    contentItem: Item {
        readonly property var current: control.currentIndex >= 0 && control.currentIndex < control.count
                                        ? control.model[control.currentIndex] : null
        implicitWidth: shown.implicitWidth
        implicitHeight: shown.implicitHeight
        BilingualText {
            id: shown
            objectName: control.objectName === "" ? "" : control.objectName + "Current"
            anchors.verticalCenter: parent.verticalCenter
            korean: parent.current ? parent.current.korean : ""
            english: parent.current ? parent.current.english : ""
            showEnglish: control.showEnglish
        }
    }
    indicator: Text {
        x: control.width - width - 12
        y: (control.height - height) / 2
        text: "\u25BE"
        color: Theme.secondary
        font.pixelSize: Theme.bodySize
    }
    delegate: ItemDelegate {
        objectName: control.objectName === "" ? "" : control.objectName + "Option" + index
        width: ListView.view ? ListView.view.width : implicitWidth
        highlighted: control.highlightedIndex === index
        background: Rectangle {
            color: highlighted ? Theme.cyan : "transparent"
        }
        contentItem: BilingualText {
            objectName: control.objectName === "" ? "" : control.objectName + "Option" + index + "Label"
            korean: modelData.korean
            english: modelData.english
            showEnglish: control.showEnglish
            koreanWeight: control.currentIndex === index ? Font.DemiBold : Font.Normal
        }
    }
    popup.background: Rectangle {
        color: "#1c2436"
        border.color: Theme.controlBorder
        radius: 8
    }
}
