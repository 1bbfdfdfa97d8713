import QtQuick
import KestrinAI

// A quiet label with a bright band sweeping across it while something is under way. The band is
// the label again in a lighter colour, seen through a window that slides; its soft edges are a
// few slices of falling opacity, so no shader is needed.
Item {
    id: shimmer

    property string text
    property real phase: -1.0

    implicitWidth: base.implicitWidth
    implicitHeight: base.implicitHeight

    Text {
        id: base
        text: shimmer.text
        color: Theme.textTertiary
        font.pointSize: 12.5 * 0.75
        font.weight: Font.Medium
    }

    Repeater {
        // Slices of the 50-point band: clear at its edges, 0.9 of the primary colour in the middle.
        model: [0.15, 0.45, 0.9, 0.45, 0.15]
        Item {
            required property int index
            required property real modelData
            x: shimmer.phase * 80 + index * 10
            width: 10
            height: base.height
            clip: true
            opacity: modelData
            Text {
                x: -parent.x
                text: shimmer.text
                color: Theme.textPrimary
                font: base.font
            }
        }
    }

    NumberAnimation on phase {
        from: -1.0
        to: 1.6
        duration: 1500
        loops: Animation.Infinite
        running: shimmer.visible
    }
}
