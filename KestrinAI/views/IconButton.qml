import QtQuick
import QtQuick.Controls
import KestrinAI

// A small square button with a symbol, lit while the pointer is over it, with a help text.
Rectangle {
    id: button

    property string systemName
    property string help

    signal clicked()

    width: 28
    height: 28
    radius: 8
    color: hover.hovered && enabled ? Theme.panelHover : "transparent"

    Accessible.role: Accessible.Button
    Accessible.name: help

    Symbol {
        anchors.centerIn: parent
        name: button.systemName
        size: 12
        color: hover.hovered && button.enabled ? Theme.textPrimary : Theme.textSecondary
    }

    HoverHandler { id: hover }
    TapHandler { onTapped: button.clicked() }

    ToolTip.visible: hover.hovered && help.length > 0
    ToolTip.delay: 700
    ToolTip.text: help
}
