import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrio.Window

// An address the phone can be given by hand: its label, the selectable value and a copy
// button that reads "Copied" for a while after each press.
ColumnLayout {
    id: root

    property string korean
    property string english
    property string iconName
    property string value
    property bool canCopy
    property bool copied
    property string copyKorean
    property string copyEnglish
    signal copyRequested()

    spacing: 6

    Row {
        spacing: 8
        Icon {
            symbol: root.iconName
            color: Theme.secondary
            size: 16
            anchors.verticalCenter: parent.verticalCenter
        }
        BilingualText {
            korean: root.korean
            english: root.english
            koreanSize: Theme.subheadlineSize
            anchors.verticalCenter: parent.verticalCenter
        }
    }
    RowLayout {
        spacing: 12
        TextEdit {
            objectName: root.objectName === "" ? "" : root.objectName + "Value"
            // The value wraps, so its height follows its width, and a layout pass can leave it
            // with the height of an earlier, longer value: filling the row and centring the
            // text keeps it level with the button whatever height it was given.
            Layout.fillWidth: true
            Layout.fillHeight: true
            verticalAlignment: TextEdit.AlignVCenter
            text: root.value
            readOnly: true
            selectByMouse: true
            color: Theme.primary
            selectionColor: Theme.cyan
            font.family: Theme.monospaceFamily
            font.pixelSize: Theme.bodySize + 1
            font.bold: true
            wrapMode: TextEdit.WrapAnywhere
        }
        BilingualButton {
            objectName: root.objectName === "" ? "" : root.objectName + "CopyButton"
            enabled: root.canCopy
            iconName: root.copied ? "checkmark" : "doc_on_doc"
            korean: root.copied ? "복사됨" : root.copyKorean
            english: root.copied ? "Copied" : root.copyEnglish
            onClicked: root.copyRequested()
        }
    }
}
