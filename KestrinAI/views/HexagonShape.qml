import QtQuick
import QtQuick.Shapes

// A hexagon standing on a point: six corners at -90, -30, 30, 90, 150 and 210 degrees around
// the centre (y grows downwards, so the first is straight above it), at half the smaller side.
Shape {
    id: hexagon

    property color fillColor: "transparent"
    property ShapeGradient fillGradient: null
    property alias strokeColor: outline.strokeColor
    property alias strokeWidth: outline.strokeWidth

    readonly property real radius: Math.min(width, height) / 2

    function corner(i) {
        const angle = (-90 + 60 * i) * Math.PI / 180
        return Qt.point(width / 2 + radius * Math.cos(angle), height / 2 + radius * Math.sin(angle))
    }

    ShapePath {
        id: outline
        // The OpenGL renderer skips a transparent fill even when a gradient is given.
        fillColor: hexagon.fillGradient ? "white" : hexagon.fillColor
        fillGradient: hexagon.fillGradient
        strokeColor: "transparent"
        strokeWidth: -1 // no outline unless asked for
        joinStyle: ShapePath.MiterJoin
        PathPolyline {
            path: [hexagon.corner(0), hexagon.corner(1), hexagon.corner(2), hexagon.corner(3),
                   hexagon.corner(4), hexagon.corner(5), hexagon.corner(0)]
        }
    }
}
