import QtQuick
import QtQuick.Controls.Basic
import Relayo.Ui

// A plain white button beside a primary one.
Button {
    id: control
    implicitHeight: 34
    leftPadding: 14
    rightPadding: 14
    font.pixelSize: 13
    font.weight: Font.DemiBold
    contentItem: Text {
        textFormat: Text.PlainText
        text: control.text
        font: control.font
        color: control.enabled ? Theme.ink : Theme.ink3
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        radius: 9
        color: control.down ? Theme.line : Theme.background
    }
}
