import QtQuick
import QtQuick.Layouts
import Relayo.Ui

// A numbered step card; only the badge colour marks the active step.
Rectangle {
    id: section
    property int number
    property string title
    property string subtitle
    property bool isActive
    property alias trailing: trailingRow.data
    default property alias content: contentColumn.data

    Layout.fillWidth: true
    implicitHeight: column.implicitHeight + 36
    color: Theme.surface
    radius: Theme.radius

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 18
        spacing: 14

        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            Rectangle {
                objectName: "stepBadge"
                implicitWidth: 22
                implicitHeight: 22
                radius: 11
                color: section.isActive ? Theme.blue
                                        : Qt.rgba(Theme.ink3.r, Theme.ink3.g, Theme.ink3.b, 0.45)
                Text {
                    textFormat: Text.PlainText
                    anchors.centerIn: parent
                    text: section.number
                    font.pixelSize: 12
                    font.bold: true
                    color: "white"
                }
            }
            ColumnLayout {
                spacing: 2
                Text {
                    textFormat: Text.PlainText
                    objectName: "stepTitle"
                    text: section.title
                    font.pixelSize: 16
                    font.bold: true
                    color: Theme.ink
                }
                Text {
                    textFormat: Text.PlainText
                    objectName: "stepSubtitle"
                    visible: section.subtitle !== ""
                    text: section.subtitle
                    font.pixelSize: 12
                    color: Theme.ink3
                }
            }
            Item { Layout.fillWidth: true }
            RowLayout {
                id: trailingRow
                spacing: 8
            }
        }
        ColumnLayout {
            id: contentColumn
            Layout.fillWidth: true
            spacing: 14
        }
    }
}
