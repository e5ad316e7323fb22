import QtQuick
import QtQuick.Layouts
import Relayo.Ui

// A small label above a selectable text.
ColumnLayout {
    id: block
    property string label
    property string text
    property bool isPlaceholder
    property int size: 15

    Layout.fillWidth: true
    spacing: 6
    Text {
        textFormat: Text.PlainText
        text: block.label
        font.pixelSize: 11
        font.weight: Font.DemiBold
        color: Theme.ink3
    }
    TextEdit {
        textFormat: TextEdit.PlainText
        objectName: "textBlockText"
        Layout.fillWidth: true
        readOnly: true
        selectByMouse: true
        wrapMode: TextEdit.Wrap
        text: block.text
        font.pixelSize: block.size
        font.weight: block.isPlaceholder ? Font.Normal : Font.Medium
        color: block.isPlaceholder ? Theme.ink3 : Theme.ink
    }
}
