import QtQuick
import QtQuick.Controls.impl

// One of the window's monochrome symbols, drawn in `color`.
IconImage {
    property string symbol
    property int size: 16

    // Qt Quick's shared image cache outlives the program's last window; each symbol is tiny.
    cache: false
    source: symbol === "" ? "" : "qrc:/kestrio/window/icons/" + symbol + ".svg"
    sourceSize: Qt.size(size, size)
    width: size
    height: size
}
