import QtQuick
import QtQuick.Layouts
import Relayo.Ui

// The voice tiles: the free voices, then the chosen ElevenLabs voice when connected.
Flow {
    id: picker
    property ContentViewModel content
    property bool compact

    spacing: 8
    Repeater {
        model: picker.content.voiceTiles
        delegate: VoiceTile {
            name: modelData.name
            detail: modelData.detail
            isSelected: modelData.isSelected
            compact: picker.compact
            onClicked: modelData.presetID !== "" ? picker.content.chooseLocalVoice(modelData.presetID)
                                                 : picker.content.chooseElevenLabsSource()
        }
    }
}
