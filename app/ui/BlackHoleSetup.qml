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
        kind: "attention"
        title: "회의로 보내려면 BlackHole 2ch가 필요해요"
        detail: "BlackHole 2ch는 앱의 영어 목소리를 Meet·Zoom 마이크로 보내는 무료 가상 마이크예요. 설치를 마치면 앱이 자동으로 찾아서 골라 둬요. 미리 듣기는 설치 없이도 돼요."
        actionTitle: "BlackHole 설치하기"
        action: function() { setup.content.createVirtualMicrophone() }
    }
    RowLayout {
        Layout.fillWidth: true
        spacing: 6
        Text {
            textFormat: Text.PlainText
            text: "Homebrew를 쓰면 터미널에서"
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
