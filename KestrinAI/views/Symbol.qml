import QtQuick
import QtQuick.Shapes

// A small icon drawn here rather than taken from the desktop's icon theme, so the dark look
// is the same everywhere. Paths live on a 24 x 24 grid; "s" is stroked, "f" is filled with the
// even-odd rule, so a hole (a tick, a cross, a mark) cut into a disc shows whatever lies behind.
Item {
    id: root

    property string name
    property color color: "#E6E8EE"
    property real size: 12

    width: size
    height: size

    readonly property var shapes: ({
        "trash": [
            { s: "M4 6.5H20M9.5 6.5V4.5A1 1 0 0 1 10.5 3.5H13.5A1 1 0 0 1 14.5 4.5V6.5"
                 + "M5.5 6.5L6.6 19A1.6 1.6 0 0 0 8.2 20.5H15.8A1.6 1.6 0 0 0 17.4 19L18.5 6.5M9.8 10.5V16.5M14.2 10.5V16.5" }
        ],
        "gearshape": [
            { s: "M18.98 9.87L21.42 10.17A9.6 9.6 0 0 1 21.42 13.83L18.98 14.13A7.3 7.3 0 0 1 18.45 15.43"
                 + "L19.96 17.37A9.6 9.6 0 0 1 17.37 19.96L15.43 18.45A7.3 7.3 0 0 1 14.13 18.98L13.83 21.42"
                 + "A9.6 9.6 0 0 1 10.17 21.42L9.87 18.98A7.3 7.3 0 0 1 8.57 18.45L6.63 19.96A9.6 9.6 0 0 1 4.04 17.37"
                 + "L5.55 15.43A7.3 7.3 0 0 1 5.02 14.13L2.58 13.83A9.6 9.6 0 0 1 2.58 10.17L5.02 9.87"
                 + "A7.3 7.3 0 0 1 5.55 8.57L4.04 6.63A9.6 9.6 0 0 1 6.63 4.04L8.57 5.55A7.3 7.3 0 0 1 9.87 5.02"
                 + "L10.17 2.58A9.6 9.6 0 0 1 13.83 2.58L14.13 5.02A7.3 7.3 0 0 1 15.43 5.55L17.37 4.04"
                 + "A9.6 9.6 0 0 1 19.96 6.63L18.45 8.57A7.3 7.3 0 0 1 18.98 9.87Z"
                 + "M9 12a3 3 0 1 0 6 0a3 3 0 1 0 -6 0Z" }
        ],
        "mic.fill": [
            { f: "M9 6a3 3 0 0 1 6 0v5.5a3 3 0 0 1 -6 0Z" },
            { s: "M5.5 11.5a6.5 6.5 0 0 0 13 0M12 18v3" }
        ],
        "waveform": [
            { s: "M3 10.5V13.5M7.5 7V17M12 3.5V20.5M16.5 7.5V16.5M21 10V14" }
        ],
        "chevron.up.chevron.down": [
            { s: "M8 9.5L12 5.5L16 9.5M8 14.5L12 18.5L16 14.5" }
        ],
        "arrow.up": [
            { s: "M12 20V4.5M5.5 10.5L12 4L18.5 10.5" }
        ],
        "stop.fill": [
            { f: "M8 5.5H16A2.5 2.5 0 0 1 18.5 8V16A2.5 2.5 0 0 1 16 18.5H8A2.5 2.5 0 0 1 5.5 16V8A2.5 2.5 0 0 1 8 5.5Z" }
        ],
        "xmark": [
            { s: "M6 6L18 18M18 6L6 18" }
        ],
        "display": [
            { s: "M5 3.5H19A2 2 0 0 1 21 5.5V14.5A2 2 0 0 1 19 16.5H5A2 2 0 0 1 3 14.5V5.5A2 2 0 0 1 5 3.5Z"
                 + "M12 16.5V20.5M8 20.5H16" }
        ],
        "display.trianglebadge.exclamationmark": [
            // The screen's outline stops short of the badge so the two read apart.
            { s: "M12.5 15.5H4A2 2 0 0 1 2 13.5V5A2 2 0 0 1 4 3H18A2 2 0 0 1 20 5V8.5M8.5 15.5V19.5M5.5 19.5H11.5" },
            { f: "M16.7 11.2a1.5 1.5 0 0 1 2.6 0L23.3 18.3a1.5 1.5 0 0 1 -1.3 2.2H14a1.5 1.5 0 0 1 -1.3 -2.2Z"
                 + "M17.25 13.6H18.75L18.5 17H17.5ZM17.2 18.7a0.8 0.8 0 1 0 1.6 0a0.8 0.8 0 1 0 -1.6 0Z" }
        ],
        "doc.text.magnifyingglass": [
            { s: "M11 21H6A2 2 0 0 1 4 19V5A2 2 0 0 1 6 3H13.5L19 8.5V11M13.5 3V8.5H19M8 12H11M8 16H9.5"
                 + "M13 16a3.2 3.2 0 1 0 6.4 0a3.2 3.2 0 1 0 -6.4 0ZM18.6 18.6L21 21" }
        ],
        "list.bullet.rectangle": [
            { s: "M5 3.5H19A2.5 2.5 0 0 1 21.5 6V18A2.5 2.5 0 0 1 19 20.5H5A2.5 2.5 0 0 1 2.5 18V6A2.5 2.5 0 0 1 5 3.5Z"
                 + "M10.5 8H17.5M10.5 12H17.5M10.5 16H17.5" },
            { f: "M5.8 8a1.2 1.2 0 1 0 2.4 0a1.2 1.2 0 1 0 -2.4 0Z"
                 + "M5.8 12a1.2 1.2 0 1 0 2.4 0a1.2 1.2 0 1 0 -2.4 0Z"
                 + "M5.8 16a1.2 1.2 0 1 0 2.4 0a1.2 1.2 0 1 0 -2.4 0Z" }
        ],
        "lightbulb": [
            { s: "M9 17V15.6C9 14.4 8.4 13.6 7.6 12.8A6.2 6.2 0 1 1 16.4 12.8C15.6 13.6 15 14.4 15 15.6V17Z"
                 + "M9.5 20.5H14.5" }
        ],
        "envelope": [
            { s: "M4.5 5H19.5A2 2 0 0 1 21.5 7V17A2 2 0 0 1 19.5 19H4.5A2 2 0 0 1 2.5 17V7A2 2 0 0 1 4.5 5Z"
                 + "M3 6.5L12 13.5L21 6.5" }
        ],
        "figure.run": [
            { f: "M13.2 4.3a2.1 2.1 0 1 0 4.2 0a2.1 2.1 0 1 0 -4.2 0Z" },
            { s: "M6.5 11L9.5 8.3H13.8L16.2 11.3L19.5 11.8M13.8 8.3L11 14.3L14.5 16.8L13.5 21"
                 + "M11 14.3L9 18.2L4.5 18.6" }
        ],
        "doc.on.doc": [
            { s: "M6 7H13A2 2 0 0 1 15 9V19A2 2 0 0 1 13 21H6A2 2 0 0 1 4 19V9A2 2 0 0 1 6 7Z"
                 + "M9 7V5A2 2 0 0 1 11 3H18A2 2 0 0 1 20 5V15A2 2 0 0 1 18 17H15" }
        ],
        "checkmark": [
            { s: "M5 12.5L9.5 17L19 7" }
        ],
        "checkmark.circle.fill": [
            { f: "M2 12a10 10 0 1 0 20 0a10 10 0 1 0 -20 0Z"
                 + "M6.59 13.11L10.63 17.15L17.44 9.89A1.15 1.15 0 0 1 15.76 8.31L10.57 13.85L8.21 11.49"
                 + "A1.15 1.15 0 0 1 6.59 13.11Z" }
        ],
        "exclamationmark.triangle.fill": [
            { f: "M10.27 4a2 2 0 0 1 3.46 0L21.7 18a2 2 0 0 1 -1.73 3H4.03a2 2 0 0 1 -1.73 -3Z"
                 + "M10.9 8.5H13.1L12.75 14.5H11.25ZM10.9 17.3a1.1 1.1 0 1 0 2.2 0a1.1 1.1 0 1 0 -2.2 0Z" }
        ],
        "exclamationmark.circle.fill": [
            { f: "M2 12a10 10 0 1 0 20 0a10 10 0 1 0 -20 0Z"
                 + "M10.9 6.5H13.1L12.75 13.5H11.25ZM10.9 16.8a1.1 1.1 0 1 0 2.2 0a1.1 1.1 0 1 0 -2.2 0Z" }
        ],
        "xmark.circle.fill": [
            { f: "M2 12a10 10 0 1 0 20 0a10 10 0 1 0 -20 0Z"
                 + "M12 10.37L14.16 8.22A1.15 1.15 0 0 1 15.78 9.84L13.63 12L15.78 14.16A1.15 1.15 0 0 1 14.16 15.78"
                 + "L12 13.63L9.84 15.78A1.15 1.15 0 0 1 8.22 14.16L10.37 12L8.22 9.84A1.15 1.15 0 0 1 9.84 8.22Z" }
        ],
        "circle": [
            { s: "M3 12a9 9 0 1 0 18 0a9 9 0 1 0 -18 0Z" }
        ],
        "arrow.down.circle": [
            { s: "M3 12a9 9 0 1 0 18 0a9 9 0 1 0 -18 0ZM12 7.5V16M8.2 12.4L12 16.2L15.8 12.4" }
        ],
        "arrow.clockwise": [
            { s: "M17.75 7.68A7.5 7.5 0 1 1 12 5H12.5M9.5 2L12.5 5L9.5 8" }
        ]
    })

    // Simpler drawings for the busiest symbols below 15 px, where fine detail only blurs.
    readonly property var compactShapes: ({
        "trash": [
            { s: "M4 6.5H20M9.5 6.5V4.5A1 1 0 0 1 10.5 3.5H13.5A1 1 0 0 1 14.5 4.5V6.5"
                 + "M5.5 6.5L6.6 19A1.6 1.6 0 0 0 8.2 20.5H15.8A1.6 1.6 0 0 0 17.4 19L18.5 6.5M12 10.5V16.5" }
        ],
        "doc.text.magnifyingglass": [
            { s: "M11 21H6A2 2 0 0 1 4 19V5A2 2 0 0 1 6 3H13.5L19 8.5V11M13.5 3V8.5H19"
                 + "M12.5 15.5a3.5 3.5 0 1 0 7 0a3.5 3.5 0 1 0 -7 0ZM18.6 18.6L21 21" }
        ],
        "list.bullet.rectangle": [
            { s: "M5 3.5H19A2.5 2.5 0 0 1 21.5 6V18A2.5 2.5 0 0 1 19 20.5H5A2.5 2.5 0 0 1 2.5 18V6A2.5 2.5 0 0 1 5 3.5Z"
                 + "M11 9.5H17.5M11 14.5H17.5" },
            { f: "M5.6 9.5a1.4 1.4 0 1 0 2.8 0a1.4 1.4 0 1 0 -2.8 0Z"
                 + "M5.6 14.5a1.4 1.4 0 1 0 2.8 0a1.4 1.4 0 1 0 -2.8 0Z" }
        ]
    })

    readonly property var items: (size < 15 && compactShapes[name]) || shapes[name] || []
    // 1.8 on the grid, but never thinner than about 1.2 device pixels at small sizes.
    readonly property real strokeWidth: Math.max(1.8, 1.2 * 24 / Math.max(size, 1))

    component Trace: ShapePath {
        id: trace
        property var entry
        property color tint
        fillRule: ShapePath.OddEvenFill
        capStyle: ShapePath.RoundCap
        joinStyle: ShapePath.RoundJoin
        strokeColor: entry && entry.s ? tint : "transparent"
        fillColor: entry && entry.f ? tint : "transparent"
        PathSvg { path: trace.entry ? (trace.entry.s || trace.entry.f) : "" }
    }

    // The GL scene graph draws shapes without antialiasing unless multisampled, and sample
    // counts a driver lacks only warn. So draw at four times the size into a mipmapped layer
    // and show it scaled down: smooth on every backend, and cheap at icon sizes.
    Item {
        width: root.size * 4
        height: root.size * 4
        scale: 0.25
        transformOrigin: Item.TopLeft
        visible: root.items.length > 0
        layer.enabled: visible
        layer.mipmap: true
        layer.smooth: true

        Shape {
            width: 24
            height: 24
            scale: root.size * 4 / 24
            transformOrigin: Item.TopLeft
            antialiasing: true

            Trace { entry: root.items[0]; tint: root.color; strokeWidth: root.strokeWidth }
            Trace { entry: root.items[1]; tint: root.color; strokeWidth: root.strokeWidth }
            Trace { entry: root.items[2]; tint: root.color; strokeWidth: root.strokeWidth }
        }
    }
}
