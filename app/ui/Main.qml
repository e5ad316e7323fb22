import QtQuick

Window {
    width: 980
    height: 860
    visible: true
    title: "Relayo"
}
