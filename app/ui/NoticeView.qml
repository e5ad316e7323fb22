import QtQuick
import QtQuick.Layouts
import Relayo.Ui

// A short message with an optional fixing action.
Rectangle {
    id: notice
    property string kind: "attention"
    property string title
    property var detail: null
    property var actionTitle: null
    property var action: null

    readonly property color accent: kind === "attention" ? Theme.amber : Theme.blue

    Layout.fillWidth: true
    implicitHeight: row.implicitHeight + 22
    radius: 12
    color: kind === "attention" ? Theme.amberSoft : Theme.blueSoft

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.leftMargin: 14
        anchors.rightMargin: 14
        anchors.topMargin: 11
        anchors.bottomMargin: 11
        spacing: 10

        Text {
            textFormat: Text.PlainText
            Layout.alignment: Qt.AlignTop
            Layout.topMargin: 1
            text: notice.kind === "attention" ? "!" : "i"
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            font.pixelSize: 10
            font.bold: true
            color: "white"
            Rectangle {
                z: -1
                anchors.centerIn: parent
                width: 14
                height: 14
                radius: 7
                color: notice.accent
            }
            Layout.preferredWidth: 14
        }
        ColumnLayout {
            Layout.alignment: Qt.AlignTop
            Layout.fillWidth: true
            spacing: 3
            Text {
                textFormat: Text.PlainText
                objectName: "noticeTitle"
                Layout.fillWidth: true
                text: notice.title
                wrapMode: Text.Wrap
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: notice.kind === "attention" ? Theme.amber : Theme.ink
            }
            Text {
                textFormat: Text.PlainText
                objectName: "noticeDetail"
                Layout.fillWidth: true
                visible: notice.detail != null && notice.detail !== ""
                text: visible ? notice.detail : ""
                wrapMode: Text.Wrap
                font.pixelSize: 12
                color: Theme.ink2
            }
        }
        QuietButtonStyle {
            objectName: "noticeAction"
            Layout.alignment: Qt.AlignTop
            Layout.leftMargin: 8
            visible: !!notice.actionTitle && typeof notice.action === "function"
            text: notice.actionTitle || ""
            color: notice.accent
            font.weight: Font.DemiBold
            onClicked: notice.action()
        }
    }
}
