import QtQuick
import QtQuick.Controls.Basic
import Relayo.Ui

ApplicationWindow {
    id: window
    required property ContentViewModel content

    width: 980
    height: 860
    visible: true
    title: "Relayo"
    color: Theme.background
    palette.highlight: Theme.blue

    ContentView {
        anchors.fill: parent
        content: window.content
    }
}
