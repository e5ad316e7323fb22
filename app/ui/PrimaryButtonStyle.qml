import QtQuick
import QtQuick.Controls.Basic
import Relayo.Ui

// The accent button of a step or sheet.
Button {
    id: control
    implicitHeight: 34
    leftPadding: 16
    rightPadding: 16
    font.pixelSize: 13
    font.weight: Font.DemiBold
    contentItem: Text {
        textFormat: Text.PlainText
        text: control.text
        font: control.font
        color: "white"
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        radius: 9
        color: !control.enabled ? Qt.rgba(Theme.ink3.r, Theme.ink3.g, Theme.ink3.b, 0.45)
             : control.down ? Theme.blueDeep : Theme.blue
    }
}
