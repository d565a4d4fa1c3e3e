import QtQuick
import Kestrio.Window

// A Korean line with its English line beneath, left-aligned.
Column {
    id: root

    property string korean
    property string english
    property int koreanSize: Theme.bodySize
    property int koreanWeight: Font.Normal
    property color koreanColor: Theme.primary
    property color englishColor: Theme.secondary
    property bool showEnglish: true
    // Wraps both lines at the column's width instead of sizing it.
    property bool wrap: false
    property int horizontalAlignment: Text.AlignLeft

    spacing: 1

    Text {
        objectName: root.objectName === "" ? "" : root.objectName + "Korean"
        width: root.wrap ? root.width : implicitWidth
        text: root.korean
        // Names and addresses from outside are shown as they are, never read as markup.
        textFormat: Text.PlainText
        font.family: Host.koreanFontFamily
        font.pixelSize: root.koreanSize
        font.weight: root.koreanWeight
        color: root.koreanColor
        wrapMode: root.wrap ? Text.Wrap : Text.NoWrap
        horizontalAlignment: root.horizontalAlignment
    }
    Text {
        objectName: root.objectName === "" ? "" : root.objectName + "English"
        visible: root.showEnglish
        width: root.wrap ? root.width : implicitWidth
        text: root.english
        textFormat: Text.PlainText
        font.pixelSize: Theme.captionSize
        color: root.englishColor
        wrapMode: root.wrap ? Text.Wrap : Text.NoWrap
        horizontalAlignment: root.horizontalAlignment
    }
}
