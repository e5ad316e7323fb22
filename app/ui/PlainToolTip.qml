import QtQuick
import QtQuick.Controls.Basic
import Relayo.Ui

// A tooltip that shows its text as it is: the text may come from a server.
ToolTip {
    id: tip
    contentItem: Text {
        textFormat: Text.PlainText
        text: tip.text
        font: tip.font
        wrapMode: Text.Wrap
        color: tip.palette.toolTipText
    }
}
