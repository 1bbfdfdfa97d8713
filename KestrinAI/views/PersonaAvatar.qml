import QtQuick
import QtQuick.Shapes
import KestrinAI

// An agent's face: its initial on a rounded square shaded diagonally in its accent.
Item {
    id: avatar

    property color accent: Theme.oryn
    property string initial: ""
    property real size: 20

    readonly property real corner: size * 0.34

    width: size
    height: size

    Shape {
        anchors.fill: parent
        antialiasing: true
        ShapePath {
            strokeColor: Qt.rgba(1, 1, 1, 0.22)
            strokeWidth: 0.75
            fillGradient: LinearGradient {
                x1: 0; y1: 0; x2: avatar.size; y2: avatar.size
                GradientStop { position: 0; color: avatar.accent }
                GradientStop { position: 1; color: Qt.rgba(avatar.accent.r, avatar.accent.g, avatar.accent.b, 0.62) }
            }
            PathSvg {
                readonly property real s: avatar.size
                readonly property real r: avatar.corner
                path: `M ${r} 0 H ${s - r} A ${r} ${r} 0 0 1 ${s} ${r} V ${s - r} A ${r} ${r} 0 0 1 ${s - r} ${s} `
                      + `H ${r} A ${r} ${r} 0 0 1 0 ${s - r} V ${r} A ${r} ${r} 0 0 1 ${r} 0 Z`
            }
        }
    }

    Text {
        anchors.centerIn: parent
        text: avatar.initial
        color: Theme.ink
        font.pixelSize: avatar.size * 0.5
        font.bold: true
    }
}
