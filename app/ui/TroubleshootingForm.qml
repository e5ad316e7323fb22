import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Relayo.Ui

// The support request: the user's text, optionally with the program's state.
ColumnLayout {
    id: form
    property ContentViewModel content

    Layout.fillWidth: true
    spacing: 10

    Rectangle {
        Layout.fillWidth: true
        readonly property real lineHeight: fontMetrics.lineSpacing
        implicitHeight: Math.min(Math.max(area.contentHeight, 3 * lineHeight), 6 * lineHeight) + 24
        radius: 9
        color: "white"
        FontMetrics {
            id: fontMetrics
            font.pixelSize: 13
        }
        ScrollView {
            anchors.fill: parent
            TextArea {
                textFormat: TextEdit.PlainText
                id: area
                objectName: "reportTextArea"
                padding: 12
                wrapMode: TextEdit.Wrap
                font.pixelSize: 13
                color: Theme.ink
                placeholderText: "어떤 문제가 있었는지 적어 주세요. 예: 듣기 시작을 눌러도 자막이 안 나와요"
                placeholderTextColor: Theme.ink3
                text: form.content.reportText
                onTextChanged: if (text !== form.content.reportText) form.content.reportText = text
                background: null
            }
        }
    }
    RowLayout {
        Layout.fillWidth: true
        CheckBox {
            objectName: "reportIncludesState"
            text: "앱 상태 정보도 같이 보내기"
            font.pixelSize: 12
            checked: form.content.reportIncludesState
            onToggled: form.content.reportIncludesState = checked
            contentItem: Text {
                textFormat: Text.PlainText
                leftPadding: parent.indicator.width + parent.spacing
                text: parent.text
                font: parent.font
                color: Theme.ink2
                verticalAlignment: Text.AlignVCenter
            }
        }
        Item { Layout.fillWidth: true }
        SecondaryButtonStyle {
            objectName: "sendReportButton"
            text: "메일로 보내기"
            enabled: form.content.reportText.trim() !== ""
            onClicked: form.content.sendReport()
        }
    }
    Text {
        textFormat: Text.PlainText
        objectName: "reportNote"
        Layout.fillWidth: true
        visible: form.content.reportNote != null
        text: visible ? form.content.reportNote : ""
        wrapMode: Text.Wrap
        font.pixelSize: 12
        font.weight: Font.Medium
        color: Theme.blueDeep
    }
}
