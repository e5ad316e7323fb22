import QtQuick
import QtQuick.Layouts
import Relayo.Ui

// The line under the send buttons: whether sending will reach the meeting.
Item {
    id: hint
    property ContentViewModel content
    property bool hasEnglishAnswer

    implicitWidth: content.isVirtualMicrophoneSelected ? plain.implicitWidth : fix.implicitWidth
    implicitHeight: content.isVirtualMicrophoneSelected ? plain.implicitHeight : fix.implicitHeight

    Text {
        textFormat: Text.PlainText
        id: plain
        objectName: "meetingMicHint"
        anchors.right: parent.right
        visible: hint.content.isVirtualMicrophoneSelected
        text: hint.hasEnglishAnswer ? "누르기 전에는 상대방에게 보내지 않아요" : "영어 문장이 준비되면 보낼 수 있어요"
        font.pixelSize: 11
        color: Theme.ink3
    }
    QuietButtonStyle {
        id: fix
        objectName: "meetingMicFix"
        anchors.right: parent.right
        visible: !hint.content.isVirtualMicrophoneSelected
        text: hint.content.hasBlackHole ? "회의 마이크를 가상 마이크로 골라 주세요"
                                        : "가상 마이크를 만들어야 회의로 보낼 수 있어요"
        color: Theme.amber
        font.pixelSize: 11
        onClicked: hint.content.hasBlackHole ? hint.content.openSettings()
                                             : hint.content.createVirtualMicrophone()
    }
}
