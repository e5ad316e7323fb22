import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Relayo.Ui

// A drop-down of {value, title, icon} options (the icon, a file URL, is optional). Choosing one only announces it
// through `chosen`; the caller writes its own state.
Button {
    id: box
    property var selection: null
    property var options: []
    property string placeholder
    property color fill: Theme.background
    // A fixed width when positive; otherwise as wide as needed up to 260.
    property real fixedWidth: 0
    signal chosen(var value)

    readonly property int selectedIndex: {
        for (let i = 0; i < options.length; ++i) {
            if (options[i].value === selection)
                return i
        }
        return -1
    }
    readonly property bool hasSelection: selectedIndex >= 0
    readonly property string currentTitle: hasSelection ? options[selectedIndex].title : placeholder
    readonly property url currentIcon: hasSelection && options[selectedIndex].icon ? options[selectedIndex].icon : ""

    implicitWidth: fixedWidth > 0 ? fixedWidth : Math.min(260, face.implicitWidth + 24)
    implicitHeight: 34
    leftPadding: 12
    rightPadding: 12
    onClicked: menu.open()

    contentItem: RowLayout {
        id: face
        spacing: 6
        Image {
            visible: box.currentIcon != ""
            source: box.currentIcon
            sourceSize: Qt.size(16, 16)
            Layout.preferredWidth: 16
            Layout.preferredHeight: 16
        }
        Text {
            textFormat: Text.PlainText
            objectName: "selectBoxTitle"
            Layout.fillWidth: true
            text: box.currentTitle
            font.pixelSize: 13
            font.weight: Font.Medium
            color: box.hasSelection ? Theme.ink : Theme.ink3
            elide: Text.ElideRight
            maximumLineCount: 1
        }
        Text {
            textFormat: Text.PlainText
            text: "⌄"
            font.pixelSize: 10
            font.weight: Font.DemiBold
            color: Theme.ink3
        }
    }
    background: Rectangle {
        radius: 9
        color: box.fill
    }

    Menu {
        id: menu
        y: box.height
        Instantiator {
            model: box.options
            delegate: MenuItem {
                id: option
                text: (index === box.selectedIndex ? "✓ " : "") + modelData.title
                // Titles name applications and voices: shown as they are, never as markup.
                contentItem: RowLayout {
                    spacing: 6
                    Image {
                        visible: !!modelData.icon
                        source: modelData.icon ? modelData.icon : ""
                        sourceSize: Qt.size(16, 16)
                        Layout.preferredWidth: 16
                        Layout.preferredHeight: 16
                    }
                    Text {
                        Layout.fillWidth: true
                        textFormat: Text.PlainText
                        text: option.text
                        font: option.font
                        color: Theme.ink
                        elide: Text.ElideRight
                        verticalAlignment: Text.AlignVCenter
                    }
                }
                onTriggered: box.chosen(modelData.value)
            }
            onObjectAdded: (index, object) => menu.insertItem(index, object)
            onObjectRemoved: (index, object) => menu.removeItem(object)
        }
    }
}
