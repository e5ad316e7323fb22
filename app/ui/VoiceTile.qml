import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Relayo.Ui

// One selectable voice.
Button {
    id: tile
    property string name
    property string detail
    property bool isSelected
    property bool compact

    leftPadding: compact ? 12 : 14
    rightPadding: compact ? 12 : 14
    topPadding: compact ? 7 : 11
    bottomPadding: compact ? 7 : 11
    implicitWidth: Math.max(compact ? 0 : 150, column.implicitWidth + leftPadding + rightPadding)

    contentItem: ColumnLayout {
        id: column
        spacing: 2
        Text {
            textFormat: Text.PlainText
            text: tile.name
            font.pixelSize: tile.compact ? 13 : 15
            font.weight: Font.DemiBold
            color: tile.isSelected ? Theme.blueDeep : Theme.ink
        }
        Text {
            textFormat: Text.PlainText
            text: tile.detail
            font.pixelSize: 11
            color: tile.isSelected ? Theme.blue : Theme.ink3
        }
    }
    background: Rectangle {
        radius: 10
        color: tile.isSelected ? Theme.blueSoft : Theme.background
    }
}
