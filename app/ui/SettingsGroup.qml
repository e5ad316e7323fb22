import QtQuick
import QtQuick.Layouts
import Relayo.Ui

// A titled group of the settings sheet.
Rectangle {
    id: group
    property string title
    property string note
    default property alias content: contentColumn.data

    Layout.fillWidth: true
    implicitHeight: column.implicitHeight + 32
    color: Theme.surface
    radius: Theme.radius

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 10
        Text {
            textFormat: Text.PlainText
            text: group.title
            font.pixelSize: 13
            font.bold: true
            color: Theme.ink
        }
        Text {
            textFormat: Text.PlainText
            Layout.fillWidth: true
            visible: group.note !== ""
            text: group.note
            wrapMode: Text.Wrap
            font.pixelSize: 11
            color: Theme.ink3
        }
        ColumnLayout {
            id: contentColumn
            Layout.fillWidth: true
            spacing: 10
        }
    }
}
