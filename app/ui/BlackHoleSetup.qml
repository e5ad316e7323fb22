import QtQuick
import QtQuick.Layouts
import Relayo.Ui

// Shown while no virtual microphone exists: explains why one is needed and
// makes it. The view model re-checks the devices every 3 seconds meanwhile.
ColumnLayout {
    id: setup
    property ContentViewModel content
    property bool copied: false

    Layout.fillWidth: true
    visible: !content.hasBlackHole
    spacing: 10

    NoticeView {
        objectName: "virtualMicrophoneNotice"
        kind: "attention"
        title: "회의로 보내려면 가상 마이크가 필요해요"
        detail: "가상 마이크는 앱의 영어 목소리를 Meet·Zoom 마이크로 보내는 통로예요. 만들기를 누르면 앱이 소리 서버에 바로 만들어 골라 둬요. 미리 듣기는 없어도 돼요."
        actionTitle: "가상 마이크 만들기"
        action: function() { setup.content.createVirtualMicrophone() }
    }
    RowLayout {
        Layout.fillWidth: true
        spacing: 6
        Text {
            objectName: "virtualMicrophoneCommandLead"
            textFormat: Text.PlainText
            text: "직접 만들려면 터미널에서"
            font.pixelSize: 11
            color: Theme.ink3
        }
        Text {
            textFormat: Text.PlainText
            Layout.fillWidth: true
            text: setup.content.virtualMicrophoneCommand
            elide: Text.ElideMiddle
            font.pixelSize: 11
            font.weight: Font.Medium
            color: Theme.ink2
        }
        QuietButtonStyle {
            objectName: "copyCommandButton"
            text: setup.copied ? "복사했어요" : "복사"
            color: Theme.blue
            onClicked: {
                setup.content.copyVirtualMicrophoneCommand()
                setup.copied = true
            }
        }
    }
    Text {
        textFormat: Text.PlainText
        Layout.fillWidth: true
        visible: setup.content.setupError != null
        text: visible ? setup.content.setupError : ""
        wrapMode: Text.Wrap
        font.pixelSize: 11
        color: Theme.amber
    }
}
