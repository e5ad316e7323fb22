import QtQuick
import QtQuick.Layouts
import Relayo.Ui

// The header's phase indicator: a dot, pulsing while something is live, and a label.
RowLayout {
    id: status
    property bool sentAndDone
    property string idleText
    property color color
    property bool isLive

    readonly property color dotColor: sentAndDone ? Theme.sending : color
    spacing: 6

    Rectangle {
        id: dot
        implicitWidth: 7
        implicitHeight: 7
        radius: 3.5
        color: status.dotColor
        SequentialAnimation on opacity {
            running: status.isLive && !status.sentAndDone
            loops: Animation.Infinite
            onRunningChanged: if (!running) dot.opacity = 1
            NumberAnimation { to: 0.3; duration: 600; easing.type: Easing.InOutQuad }
            NumberAnimation { to: 1; duration: 600; easing.type: Easing.InOutQuad }
        }
    }
    Text {
        textFormat: Text.PlainText
        objectName: "phaseLabel"
        text: status.sentAndDone ? "회의로 보냈어요" : status.idleText
        font.pixelSize: 12
        font.weight: Font.DemiBold
        color: status.sentAndDone ? Theme.sending : status.isLive ? status.color : Theme.ink2
    }
}
