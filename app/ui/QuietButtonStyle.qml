import QtQuick
import QtQuick.Controls.Basic
import Relayo.Ui

// A text-only button.
Button {
    id: control
    property color color: Theme.ink2
    padding: 2
    font.pixelSize: 12
    font.weight: Font.Medium
    contentItem: Text {
        textFormat: Text.PlainText
        text: control.text
        font: control.font
        color: control.color
        opacity: control.down ? 0.6 : 1
        verticalAlignment: Text.AlignVCenter
    }
    background: Item {}
}
