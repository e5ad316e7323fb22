import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Relayo.Ui

// The usage guide, drawn from the guide resource's blocks.
Rectangle {
    id: sheet
    property ContentViewModel content
    signal close()

    color: Theme.background

    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: sheet.visible
        onActivated: sheet.close()
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 24
            Layout.rightMargin: 24
            Layout.topMargin: 20
            Layout.bottomMargin: 8
            Text {
                textFormat: Text.PlainText
                text: "사용법"
                font.pixelSize: 18
                font.bold: true
                color: Theme.ink
            }
            Item { Layout.fillWidth: true }
            PrimaryButtonStyle {
                text: "닫기"
                onClicked: sheet.close()
            }
        }
        ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            ColumnLayout {
                objectName: "guideRows"
                width: scroll.availableWidth - 48
                x: 24
                y: 24
                spacing: 0
                Repeater {
                    model: sheet.content.guideBlocks
                    delegate: Loader {
                        Layout.fillWidth: true
                        Layout.topMargin: modelData.kind === "heading" ? 14
                                        : modelData.kind === "line" && modelData.text.includes("단계 ·") ? 8 : 0
                        Layout.bottomMargin: modelData.kind === "heading" ? 2 : 0
                        sourceComponent: modelData.kind === "title" ? null
                                       : modelData.kind === "gap" ? gap : text
                        Component {
                            id: gap
                            Item { implicitHeight: 4 }
                        }
                        Component {
                            id: text
                            TextEdit {
                                textFormat: TextEdit.PlainText
                                readonly property bool isStep: modelData.text.includes("단계 ·")
                                readOnly: true
                                selectByMouse: true
                                wrapMode: TextEdit.Wrap
                                text: modelData.text
                                font.pixelSize: modelData.kind === "heading" ? 15 : 13
                                font.bold: modelData.kind === "heading"
                                font.weight: modelData.kind === "heading" ? Font.Bold
                                           : isStep ? Font.DemiBold : Font.Normal
                                color: modelData.kind === "heading" ? Theme.ink
                                     : isStep ? Theme.blueDeep : Theme.ink2
                            }
                        }
                    }
                }
                Item { implicitHeight: 24 }
            }
        }
    }
}
