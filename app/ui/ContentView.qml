import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Relayo.Ui

// The window's content: header, status card, steps 1 and 2, the pinned step-3 bar, and the sheets.
Rectangle {
    id: view
    property ContentViewModel content
    readonly property var model: content.model
    readonly property var speech: content.meetingSpeech
    readonly property var audio: content.audioOutput

    color: Theme.background

    Shortcut {
        sequence: "Ctrl+,"
        onActivated: view.content.openSettings()
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        // Header
        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 24
            Layout.rightMargin: 24
            Layout.topMargin: 16
            Layout.bottomMargin: 12
            spacing: 12
            Text {
                textFormat: Text.PlainText
                text: "Relayo"
                font.pixelSize: 18
                font.bold: true
                font.letterSpacing: -0.4
                color: Theme.ink
            }
            Item { Layout.fillWidth: true }
            PhaseStatus {
                objectName: "phaseStatus"
                sentAndDone: view.content.sentAndDone
                idleText: view.content.phaseText
                color: view.content.phaseColor
                isLive: view.content.isLivePhase
                HoverHandler { id: phaseHover }
                PlainToolTip {
                    visible: phaseHover.hovered
                    text: view.model.statusMessage
                }
            }
            QuietButtonStyle {
                objectName: "guideButton"
                text: "사용법"
                onClicked: view.content.openGuide()
            }
            QuietButtonStyle {
                objectName: "settingsButton"
                text: "⚙ 설정"
                onClicked: view.content.openSettings()
            }
        }

        ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth

            ColumnLayout {
                x: 24
                y: 6
                width: scroll.availableWidth - 48
                spacing: 14

                NoticeView {
                    objectName: "statusNotice"
                    readonly property var notice: view.content.currentNotice
                    visible: notice != null
                    kind: notice ? notice.kind : "info"
                    title: notice ? notice.title : ""
                    detail: notice ? notice.detail : null
                    actionTitle: notice ? notice.actionTitle : null
                    action: function() { view.content.performNoticeAction() }
                }

                BlackHoleSetup {
                    objectName: "virtualMicrophoneSetup"
                    content: view.content
                }

                StepSection {
                    objectName: "stepOne"
                    number: 1
                    title: "상대방 말 듣기"
                    subtitle: view.content.listenSubtitle
                    isActive: view.content.currentStep === 0
                    trailing: [
                        SelectBox {
                            objectName: "meetingAppPicker"
                            visible: !view.speech.isListening
                            Layout.maximumWidth: 200
                            options: view.content.applicationOptions
                            selection: view.model.selectedApplicationID
                            placeholder: "Chrome이나 Zoom을 골라 주세요"
                            onChosen: value => view.model.selectedApplicationID = value
                        },
                        QuietButtonStyle {
                            objectName: "refreshApplicationsButton"
                            visible: !view.speech.isListening
                            text: "↻"
                            font.pixelSize: 12
                            font.weight: Font.DemiBold
                            ToolTip.visible: hovered
                            ToolTip.text: "앱 목록 새로고침"
                            Accessible.name: "앱 목록 새로고침"
                            onClicked: view.content.refreshApplications()
                        },
                        PrimaryButtonStyle {
                            objectName: "listenButton"
                            visible: !view.speech.isListening
                            text: view.speech.isPreparing ? "준비 중…" : "듣기 시작"
                            enabled: !view.speech.isPreparing && view.model.selectedApplicationID != null
                            onClicked: view.content.startMeetingListening()
                        },
                        SecondaryButtonStyle {
                            objectName: "stopListeningButton"
                            // Also while preparing: the stop cancels a model download.
                            visible: view.speech.isListening || view.speech.isPreparing
                            text: "듣기 멈추기"
                            onClicked: view.content.stopMeetingListening()
                        }
                    ]
                    LiveCaptionCard {
                        content: view.content
                    }
                }

                StepSection {
                    objectName: "stepTwo"
                    number: 2
                    title: "한국어로 답하기"
                    subtitle: view.content.hasEnglishAnswer ? "영어 문장을 확인하고 아래에서 보내세요"
                                                            : "한국어로 말하면 영어로 바꿔 드려요 · 자동으로 보내지 않아요"
                    isActive: view.content.currentStep === 1
                    trailing: [
                        SecondaryButtonStyle {
                            objectName: "cancelReplyButton"
                            visible: view.content.isSpeakingKorean
                            text: "취소"
                            onClicked: view.content.cancelKoreanReply()
                        },
                        PrimaryButtonStyle {
                            objectName: "finishReplyButton"
                            visible: view.content.isSpeakingKorean
                            text: "말하기 완료"
                            onClicked: view.content.finishKoreanReply()
                            Shortcut {
                                sequences: ["Ctrl+Return", "Ctrl+Enter"]
                                enabled: view.content.isSpeakingKorean
                                onActivated: view.content.finishKoreanReply()
                            }
                        },
                        BusyIndicator {
                            visible: !view.content.isSpeakingKorean && view.model.isTranslatingReply
                            running: visible
                            Layout.preferredWidth: 16
                            Layout.preferredHeight: 16
                        },
                        Text {
                            textFormat: Text.PlainText
                            visible: !view.content.isSpeakingKorean && view.model.isTranslatingReply
                            text: "영어로 바꾸는 중…"
                            font.pixelSize: 12
                            color: Theme.ink2
                        },
                        Loader {
                            objectName: "replyButtonLoader"
                            visible: !view.content.isSpeakingKorean && !view.model.isTranslatingReply
                            sourceComponent: view.content.currentStep === 1 ? primaryReply : secondaryReply
                        }
                    ]

                    Component {
                        id: primaryReply
                        PrimaryButtonStyle {
                            objectName: "replyButton"
                            text: view.content.hasEnglishAnswer ? "다시 말하기" : "한국어로 말하기"
                            enabled: !view.model.isTranslatingReply && !view.model.isGeneratingVoice
                            onClicked: view.content.startKoreanReply()
                        }
                    }
                    Component {
                        id: secondaryReply
                        SecondaryButtonStyle {
                            objectName: "replyButton"
                            text: view.content.hasEnglishAnswer ? "다시 말하기" : "한국어로 말하기"
                            enabled: !view.model.isTranslatingReply && !view.model.isGeneratingVoice
                            onClicked: view.content.startKoreanReply()
                        }
                    }

                    RowLayout {
                        visible: view.content.isSpeakingKorean
                        spacing: 8
                        // Drawn, not a character: the default fonts lack the wave sign.
                        Rectangle {
                            objectName: "replyListeningDot"
                            implicitWidth: 8
                            implicitHeight: 8
                            radius: 4
                            color: Theme.live
                            SequentialAnimation on opacity {
                                running: view.content.isSpeakingKorean
                                loops: Animation.Infinite
                                NumberAnimation { to: 0.35; duration: 500 }
                                NumberAnimation { to: 1; duration: 500 }
                            }
                        }
                        Text {
                            textFormat: Text.PlainText
                            text: "듣고 있어요. 다 말한 뒤 ‘말하기 완료’를 눌러 주세요."
                            font.pixelSize: 12
                            font.weight: Font.Medium
                            color: Theme.ink2
                        }
                    }
                    RowLayout {
                        visible: view.content.koreanModelStatusText !== ""
                        spacing: 8
                        Text {
                            objectName: "koreanModelStatusText"
                            textFormat: Text.PlainText
                            text: view.content.koreanModelStatusText
                            font.pixelSize: 12
                            color: Theme.ink2
                        }
                        QuietButtonStyle {
                            objectName: "cancelKoreanModelButton"
                            text: "받기 취소"
                            onClicked: view.content.cancelKoreanModelDownload()
                        }
                    }
                    TextBlock {
                        objectName: "koreanReplyBlock"
                        visible: view.model.koreanReply !== "" || view.content.isSpeakingKorean
                        label: "내가 한 말"
                        text: view.model.koreanReply !== "" ? view.model.koreanReply : "…"
                        isPlaceholder: view.model.koreanReply === ""
                        size: 17
                    }
                    ColumnLayout {
                        Layout.fillWidth: true
                        visible: view.model.approvedText !== ""
                        spacing: 6
                        Text {
                            textFormat: Text.PlainText
                            text: "상대방에게 말할 영어 · 눌러서 고칠 수 있어요"
                            font.pixelSize: 11
                            font.weight: Font.DemiBold
                            color: Theme.ink3
                        }
                        TextArea {
                            textFormat: TextEdit.PlainText
                            objectName: "englishEditor"
                            Layout.fillWidth: true
                            wrapMode: TextEdit.Wrap
                            padding: 10
                            font.pixelSize: 17
                            font.weight: Font.Medium
                            color: Theme.ink
                            text: view.model.approvedText
                            readOnly: view.model.isReceivingReply
                            onTextChanged: if (text !== view.model.approvedText) view.model.approvedText = text
                            background: Rectangle {
                                radius: 9
                                color: Theme.background
                            }
                        }
                    }
                }
                Item { implicitHeight: 14 }
            }
        }

        // Step 3, pinned under the scroll area.
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: Theme.line
        }
        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 24
            Layout.rightMargin: 24
            Layout.topMargin: 14
            Layout.bottomMargin: 14
            spacing: 12

            Rectangle {
                objectName: "stepThreeBadge"
                Layout.alignment: Qt.AlignTop
                implicitWidth: 22
                implicitHeight: 22
                radius: 11
                color: view.content.currentStep === 2 ? Theme.blue
                                                      : Qt.rgba(Theme.ink3.r, Theme.ink3.g, Theme.ink3.b, 0.45)
                Text {
                    textFormat: Text.PlainText
                    anchors.centerIn: parent
                    text: "3"
                    font.pixelSize: 12
                    font.bold: true
                    color: "white"
                }
            }
            ColumnLayout {
                spacing: 6
                Text {
                    textFormat: Text.PlainText
                    text: "목소리로 전달하기"
                    font.pixelSize: 14
                    font.bold: true
                    color: Theme.ink
                }
                VoicePicker {
                    content: view.content
                    compact: true
                }
            }
            Item { Layout.fillWidth: true }
            ColumnLayout {
                spacing: 6
                RowLayout {
                    Layout.alignment: Qt.AlignRight
                    spacing: 8
                    BusyIndicator {
                        visible: view.model.isGeneratingVoice
                        running: visible
                        Layout.preferredWidth: 16
                        Layout.preferredHeight: 16
                    }
                    SecondaryButtonStyle {
                        objectName: "previewButton"
                        text: "미리 듣기"
                        enabled: !view.model.isGeneratingVoice && view.content.hasEnglishAnswer
                        onClicked: view.content.previewAnswer()
                    }
                    PrimaryButtonStyle {
                        objectName: "sendButton"
                        text: "회의로 보내기"
                        enabled: !view.model.isGeneratingVoice && view.content.hasEnglishAnswer
                        onClicked: view.content.sendAnswer()
                    }
                }
                MeetingMicHint {
                    Layout.alignment: Qt.AlignRight
                    content: view.content
                    hasEnglishAnswer: view.content.hasEnglishAnswer
                }
            }
        }
    }

    Popup {
        objectName: "settingsSheet"
        x: (view.width - width) / 2
        y: (view.height - height) / 2
        width: 560
        height: Math.min(620, view.height - 20)
        modal: true
        padding: 0
        closePolicy: Popup.NoAutoClose
        visible: view.content.activeSheet === "settings"
        background: Rectangle { color: Theme.background; radius: 12 }
        // Made anew each time the sheet opens, so nothing of the last visit stays.
        Loader {
            anchors.fill: parent
            active: view.content.activeSheet === "settings"
            sourceComponent: SettingsSheet {
                content: view.content
            }
        }
    }
    Popup {
        objectName: "guideSheet"
        x: (view.width - width) / 2
        y: (view.height - height) / 2
        width: 560
        height: Math.min(640, view.height - 20)
        modal: true
        padding: 0
        closePolicy: Popup.NoAutoClose
        visible: view.content.activeSheet === "guide"
        background: Rectangle { color: Theme.background; radius: 12 }
        GuideSheet {
            anchors.fill: parent
            content: view.content
            onClose: view.content.closeSheet()
        }
    }
    Shortcut {
        sequence: "Escape"
        enabled: view.content.activeSheet !== ""
        onActivated: view.content.closeSheet()
    }
}
