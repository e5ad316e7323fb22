import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Relayo.Ui

// Meeting application, output device, voices, ElevenLabs, translation and the support request.
Rectangle {
    id: sheet
    property ContentViewModel content
    readonly property var model: content.model
    readonly property var audio: content.audioOutput

    color: Theme.background

    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: sheet.visible && !apiKeyField.activeFocus && !translationGroup.typing
        onActivated: sheet.content.closeSheet()
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 24
            Layout.rightMargin: 24
            Layout.topMargin: 20
            Layout.bottomMargin: 12
            Text {
                textFormat: Text.PlainText
                text: "설정"
                font.pixelSize: 18
                font.bold: true
                color: Theme.ink
            }
            Item { Layout.fillWidth: true }
            PrimaryButtonStyle {
                objectName: "settingsDoneButton"
                text: "완료"
                onClicked: sheet.content.closeSheet()
            }
        }
        ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            ColumnLayout {
                x: 24
                width: scroll.availableWidth - 48
                spacing: 14

                SettingsGroup {
                    title: "들을 회의 앱"
                    note: "고른 앱의 소리만 들어요. 회의 내용은 저장하지 않아요."
                    RowLayout {
                        SelectBox {
                            objectName: "settingsAppPicker"
                            Layout.maximumWidth: 200
                            options: sheet.content.applicationOptions
                            selection: sheet.model.selectedApplicationID
                            placeholder: "Chrome이나 Zoom을 골라 주세요"
                            onChosen: value => sheet.model.selectedApplicationID = value
                        }
                        QuietButtonStyle {
                            text: "새로고침"
                            onClicked: sheet.content.refreshApplications()
                        }
                    }
                }
                SettingsGroup {
                    objectName: "microphoneGroup"
                    title: "회의로 보낼 마이크"
                    note: "Meet·Zoom의 마이크를 Relayo Virtual Microphone Input으로 바꾸고, 여기서는 Relayo Virtual Microphone을 고르면 상대방에게 들려요."
                    RowLayout {
                        SelectBox {
                            objectName: "devicePicker"
                            options: sheet.content.deviceOptions
                            selection: sheet.audio.selectedDeviceID
                            placeholder: "출력 장치를 골라 주세요"
                            onChosen: value => sheet.audio.selectedDeviceID = value
                        }
                        QuietButtonStyle {
                            text: "새로고침"
                            onClicked: sheet.content.refreshDevices()
                        }
                    }
                    BlackHoleSetup {
                        objectName: "settingsVirtualMicrophoneSetup"
                        content: sheet.content
                    }
                }
                SettingsGroup {
                    objectName: "voiceGroup"
                    title: "영어 목소리"
                    note: "무료 eSpeak NG 음성이에요. 미리 듣기와 회의로 보내기에 같은 목소리를 써요."
                    VoicePicker {
                        Layout.fillWidth: true
                        content: sheet.content
                        compact: false
                    }
                }
                SettingsGroup {
                    objectName: "elevenLabsGroup"
                    title: "ElevenLabs 내 목소리 · 고급"
                    note: "선택 기능이에요. 유료 서비스이고, API 키는 이 컴퓨터의 키링에만 저장돼요."
                    ColumnLayout {
                        visible: sheet.model.hasElevenLabsAPIKey
                        spacing: 8
                        SelectBox {
                            options: sheet.content.elevenLabsVoiceOptions
                            selection: sheet.model.selectedElevenLabsVoiceID
                            placeholder: "목소리를 골라 주세요"
                            onChosen: value => sheet.content.chooseElevenLabsVoice(value)
                        }
                        RowLayout {
                            spacing: 8
                            SecondaryButtonStyle {
                                objectName: "useElevenLabsVoiceButton"
                                text: "이 목소리 쓰기"
                                enabled: sheet.content.isSelectedElevenLabsVoiceAvailable
                                onClicked: sheet.content.chooseElevenLabsSource()
                            }
                            QuietButtonStyle {
                                text: "목록 새로고침"
                                onClicked: sheet.content.refreshElevenLabsVoices()
                            }
                            QuietButtonStyle {
                                objectName: "forgetKeyButton"
                                text: "키 삭제"
                                color: Theme.amber
                                onClicked: sheet.content.forgetElevenLabsAPIKey()
                            }
                        }
                    }
                    RowLayout {
                        visible: !sheet.model.hasElevenLabsAPIKey
                        spacing: 8
                        TextField {
                            id: apiKeyField
                            Layout.fillWidth: true
                            implicitHeight: 34
                            echoMode: TextInput.Password
                            placeholderText: "ElevenLabs API 키"
                            font.pixelSize: 13
                            text: sheet.content.elevenLabsAPIKey
                            onTextEdited: sheet.content.elevenLabsAPIKey = text
                            onAccepted: sheet.content.connectElevenLabs()
                            background: Rectangle {
                                radius: 9
                                color: Theme.background
                                border.color: Theme.line
                            }
                        }
                        SecondaryButtonStyle {
                            objectName: "connectButton"
                            text: "연결"
                            enabled: sheet.content.elevenLabsAPIKey.trim() !== ""
                            onClicked: sheet.content.connectElevenLabs()
                        }
                    }
                    RowLayout {
                        spacing: 6
                        BusyIndicator {
                            visible: sheet.model.isLoadingElevenLabsVoices
                            running: visible
                            Layout.preferredWidth: 14
                            Layout.preferredHeight: 14
                        }
                        Text {
                            textFormat: Text.PlainText
                            Layout.fillWidth: true
                            text: sheet.content.elevenLabsStatusText
                            wrapMode: Text.Wrap
                            font.pixelSize: 12
                            color: Theme.ink2
                        }
                    }
                }
                TranslationSettingsGroup {
                    id: translationGroup
                    settings: sheet.model.translationSettings
                }
                SettingsGroup {
                    title: "문제 해결 요청"
                    note: "보내기를 누르면 메일 앱에 내용이 담긴 새 메일이 열려요. 메일 앱에서 보내기를 누르면 개발자에게 전달돼요. 회의 내용과 API 키는 담지 않아요."
                    TroubleshootingForm {
                        content: sheet.content
                    }
                }
                Item { implicitHeight: 10 }
            }
        }
    }
}
