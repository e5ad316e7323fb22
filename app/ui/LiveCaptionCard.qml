import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Relayo.Ui

// Step 1's content: model preparation, the Korean translation, the live English caption.
ColumnLayout {
    id: card
    property ContentViewModel content
    readonly property var speech: content.meetingSpeech
    readonly property var model: content.model

    Layout.fillWidth: true
    spacing: 14

    RowLayout {
        visible: card.speech.isPreparing
        spacing: 10
        ProgressBar {
            Layout.preferredWidth: 140
            from: 0
            to: 1
            value: card.speech.modelProgress == null ? 0 : card.speech.modelProgress
        }
        Text {
            textFormat: Text.PlainText
            objectName: "modelStatusText"
            text: card.content.modelStatusText
            font.pixelSize: 12
            color: Theme.ink2
        }
    }

    Rectangle {
        Layout.fillWidth: true
        implicitHeight: Math.max(70, translation.implicitHeight + 28)
        radius: 10
        color: Theme.background
        ColumnLayout {
            id: translation
            anchors.fill: parent
            anchors.margins: 14
            spacing: 6
            RowLayout {
                spacing: 6
                Text {
                    textFormat: Text.PlainText
                    text: "한국어 번역"
                    font.pixelSize: 11
                    font.weight: Font.DemiBold
                    color: Theme.ink3
                }
                BusyIndicator {
                    visible: card.model.isTranslating
                    running: visible
                    Layout.preferredWidth: 14
                    Layout.preferredHeight: 14
                }
                Text {
                    textFormat: Text.PlainText
                    visible: card.model.isTranslating
                    text: "다음 문장 번역 중"
                    font.pixelSize: 11
                    color: Theme.ink3
                }
            }
            RowLayout {
                objectName: "noTranslationService"
                visible: !card.model.translationSettings.hasService
                spacing: 8
                Text {
                    textFormat: Text.PlainText
                    Layout.fillWidth: true
                    text: "번역 서비스가 정해지지 않아 한국어 번역을 보여 드릴 수 없어요."
                    wrapMode: Text.Wrap
                    font.pixelSize: 13
                    color: Theme.amber
                }
                SecondaryButtonStyle {
                    objectName: "openTranslationSettingsButton"
                    text: "번역 설정"
                    onClicked: card.content.openSettings()
                }
            }
            TextEdit {
                textFormat: TextEdit.PlainText
                objectName: "koreanTranslationText"
                visible: card.model.translationSettings.hasService
                readonly property bool hasText: card.model.liveTranslation !== ""
                Layout.fillWidth: true
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.Wrap
                text: hasText ? card.model.liveTranslation
                              : card.speech.isListening ? "영어 문장이 끝나면 한국어로 바꿔 드려요…"
                                                        : "듣기를 시작하면 상대방 말이 한국어로 나와요."
                font.pixelSize: 20
                font.weight: hasText ? Font.DemiBold : Font.Normal
                color: hasText ? Theme.ink : Theme.ink3
            }
            TextEdit {
                textFormat: TextEdit.PlainText
                objectName: "translatedEnglishText"
                Layout.fillWidth: true
                visible: card.model.translatedEnglishSentence !== ""
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.Wrap
                text: card.model.translatedEnglishSentence
                font.pixelSize: 13
                color: Theme.ink2
            }
        }
    }

    Text {
        textFormat: Text.PlainText
        objectName: "captionLagText"
        visible: text !== ""
        text: card.content.captionLagText
        font.pixelSize: 12
        font.weight: Font.DemiBold
        color: Theme.amber
    }

    NoticeView {
        objectName: "captionSkipNotice"
        visible: card.content.captionSkipText !== ""
        kind: "info"
        title: card.content.captionSkipText
    }

    TextBlock {
        objectName: "englishCaptionBlock"
        visible: card.speech.isListening || card.speech.transcript !== ""
        label: card.speech.isListening ? "지금 들리는 영어" : "마지막으로 들은 영어"
        text: card.content.englishCaptionText
        isPlaceholder: card.speech.transcript === ""
        size: 15
    }

    NoticeView {
        visible: card.speech.recognitionError != null
        kind: "attention"
        title: "영어 자막에 문제가 생겼어요"
        detail: card.speech.recognitionError
    }
}
