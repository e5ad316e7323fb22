import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Relayo.Ui

// The settings sheet's translation group: the service that translates, and its address, model
// and key. Stored keys are never shown, only offered for removal.
SettingsGroup {
    id: group
    property var settings
    // The service being edited; saved with the fields below.
    property int service: settings.service
    readonly property bool typing: tokenFactoryKeyField.activeFocus || serverKeyField.activeFocus
                                   || serverUrlField.activeFocus || serverModelField.activeFocus
                                   || relayUrlField.activeFocus

    objectName: "translationGroup"
    title: "번역"
    note: "자막과 답변을 번역할 서비스를 골라요. 내 컴퓨터의 llama.cpp·Ollama·vLLM·LM Studio 서버를 쓰면 아무것도 밖으로 나가지 않아요. API 키는 이 컴퓨터의 키링에만 저장돼요."

    function save() {
        group.settings.choose(group.service, serverUrlField.text, serverModelField.text,
                              relayUrlField.text, tokenFactoryKeyField.text, serverKeyField.text)
        tokenFactoryKeyField.clear()
        serverKeyField.clear()
    }

    SelectBox {
        objectName: "translationServicePicker"
        options: [
            { value: 0, title: "쓰지 않음" },
            { value: 1, title: "Nebius Token Factory" },
            { value: 2, title: "OpenAI 호환 서버 (llama.cpp, Ollama, vLLM…)" },
            { value: 3, title: "번역 릴레이" }
        ]
        selection: group.service
        onChosen: value => group.service = value
    }

    RowLayout {
        visible: group.service === 1
        spacing: 8
        KeyField {
            id: tokenFactoryKeyField
            objectName: "tokenFactoryKeyField"
            placeholderText: group.settings.hasTokenFactoryKey ? "저장된 키 있음 · 바꾸려면 새 키 입력"
                                                              : "Token Factory API 키"
            onAccepted: group.save()
        }
        QuietButtonStyle {
            visible: group.settings.hasTokenFactoryKey
            text: "키 삭제"
            color: Theme.amber
            onClicked: group.settings.forgetKey(1)
        }
    }

    ColumnLayout {
        visible: group.service === 2
        spacing: 8
        KeyField {
            id: serverUrlField
            objectName: "serverUrlField"
            echoMode: TextInput.Normal
            placeholderText: "기본 주소 (예: http://127.0.0.1:8080/v1)"
            text: group.settings.serverUrl
            onAccepted: group.save()
        }
        KeyField {
            id: serverModelField
            objectName: "serverModelField"
            echoMode: TextInput.Normal
            placeholderText: "모델 이름 (예: qwen2.5:7b)"
            text: group.settings.serverModel
            onAccepted: group.save()
        }
        RowLayout {
            spacing: 8
            KeyField {
                id: serverKeyField
                objectName: "serverKeyField"
                placeholderText: group.settings.hasServerKey ? "저장된 키 있음 · 바꾸려면 새 키 입력"
                                                            : "API 키 (필요한 서버만)"
                onAccepted: group.save()
            }
            QuietButtonStyle {
                visible: group.settings.hasServerKey
                text: "키 삭제"
                color: Theme.amber
                onClicked: group.settings.forgetKey(2)
            }
        }
    }

    KeyField {
        id: relayUrlField
        objectName: "relayUrlField"
        visible: group.service === 3
        echoMode: TextInput.Normal
        placeholderText: "릴레이 주소 (예: https://relay.example.org/v1/complete)"
        text: group.settings.relayUrl
        onAccepted: group.save()
    }

    RowLayout {
        spacing: 8
        SecondaryButtonStyle {
            objectName: "saveTranslationButton"
            text: "저장"
            onClicked: group.save()
        }
        Text {
            textFormat: Text.PlainText
            Layout.fillWidth: true
            text: group.settings.status
            wrapMode: Text.Wrap
            font.pixelSize: 12
            color: Theme.ink2
        }
    }

    component KeyField: TextField {
        Layout.fillWidth: true
        implicitHeight: 34
        echoMode: TextInput.Password
        font.pixelSize: 13
        background: Rectangle {
            radius: 9
            color: Theme.background
            border.color: Theme.line
        }
    }
}
