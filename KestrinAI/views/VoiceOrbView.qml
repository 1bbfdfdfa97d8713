import QtQuick
import QtQuick.Shapes
import KestrinAI

// The voice orb window's content: a glowing, slowly turning hexagonal orb in the agent's colour,
// five bars while speaking, a cancel hint while the pointer is over the orb, and a short label,
// on a dark translucent card. The controller sets the inputs and fades this item's opacity; the
// animations run only while the orb can be seen, so a hidden orb costs nothing. Over the orb's
// disc lies a transparent click catcher that reports clicks and hover.
Item {
    id: view
    objectName: "voiceOrbView"

    /// "idle", "listening", "thinking" or "speaking" (`state` is taken by Item).
    property string orbState: "idle"
    property color accent: "#0A84FF" // the system blue, until the first present
    property string label: ""
    /// Whether a click cancels something.
    property bool canCancel: false
    property bool isHoveringCancel: false

    signal orbClicked()
    signal orbHovered(bool hovering)

    readonly property bool showsCancelHint: orbState !== "idle" && canCancel && isHoveringCancel

    // The pace of every animation: fastest while speaking and listening, slowest when idle.
    readonly property real period: ({ idle: 3.6, listening: 1.1, thinking: 2.8, speaking: 0.9 })[orbState] ?? 3.6
    readonly property int pulseMs: Math.round(1200 * period)
    readonly property int ringMs: Math.round(7000 * period)
    readonly property int orbitMs: Math.round(10000 * period)
    readonly property bool animating: opacity > 0 && Window.visibility !== Window.Hidden

    function withAlpha(colour, alpha) {
        return Qt.rgba(colour.r, colour.g, colour.b, alpha)
    }

    // A running animation keeps its old durations until it starts again.
    onPeriodChanged: {
        if (!animating)
            return
        glowPulse.restart()
        ringTurn.restart()
        orbitTurn.restart()
        coreBreath.restart()
    }

    width: 220
    height: 240

    // The frosted card, approximated by a translucent dark fill: the orb and the label 14 apart,
    // with a margin of 20 all round.
    Rectangle {
        id: card
        objectName: "card"
        anchors.centerIn: parent
        width: Math.min(view.width, Math.max(orbArea.width, labelText.width) + 2 * 20)
        height: 20 + orbArea.height + 14 + labelText.height + 20
        radius: 22
        color: view.withAlpha(Theme.panel, 0.72)
        border.color: Theme.stroke
        border.width: 0.5
    }

    Item {
        id: orbArea
        objectName: "orbArea"
        anchors.horizontalCenter: card.horizontalCenter
        anchors.top: card.top
        anchors.topMargin: 20
        width: 160
        height: 160

        // The glow: accent at 0.32 fading to clear over a radius of 95, its edge widened by the
        // 12 of the blur it stands for.
        Shape {
            id: glow
            anchors.centerIn: parent
            width: 190 + 2 * 12
            height: width
            opacity: 0.5
            ShapePath {
                strokeWidth: -1
                strokeColor: "transparent"
                fillGradient: RadialGradient {
                    centerX: glow.width / 2
                    centerY: glow.height / 2
                    centerRadius: glow.width / 2
                    focalX: centerX
                    focalY: centerY
                    GradientStop { position: 0; color: view.withAlpha(view.accent, 0.32) }
                    GradientStop { position: 0.8; color: view.withAlpha(view.accent, 0.06) }
                    GradientStop { position: 1; color: view.withAlpha(view.accent, 0) }
                }
                PathAngleArc {
                    centerX: glow.width / 2
                    centerY: glow.height / 2
                    radiusX: glow.width / 2
                    radiusY: glow.height / 2
                    sweepAngle: 360
                }
            }
            SequentialAnimation on opacity {
                id: glowPulse
                running: view.animating
                loops: Animation.Infinite
                NumberAnimation { from: 0.5; to: 0.9; duration: view.pulseMs; easing.type: Easing.InOutQuad }
                NumberAnimation { from: 0.9; to: 0.5; duration: view.pulseMs; easing.type: Easing.InOutQuad }
            }
        }

        // The rings and the core, drawn multisampled: Shape has no antialiasing of its own.
        Item {
            anchors.fill: parent
            layer.enabled: true
            layer.samples: 4

            Item {
                id: hudRing
                anchors.centerIn: parent
                width: 150
                height: 150

                HexagonShape {
                    anchors.fill: parent
                    strokeColor: view.withAlpha(view.accent, 0.5)
                    strokeWidth: 1
                }
                Repeater {
                    model: 6
                    Rectangle {
                        required property int index
                        // 75 up from the centre, turned about it by index x 60 degrees: a corner.
                        x: hudRing.width / 2 + 75 * Math.sin(index * Math.PI / 3) - width / 2
                        y: hudRing.height / 2 - 75 * Math.cos(index * Math.PI / 3) - height / 2
                        width: 5
                        height: 5
                        radius: 2.5
                        color: view.accent
                    }
                }
                NumberAnimation on rotation {
                    id: ringTurn
                    running: view.animating
                    loops: Animation.Infinite
                    from: 0
                    to: 360
                    duration: view.ringMs
                }
            }

            Shape {
                id: orbitRing
                anchors.centerIn: parent
                width: 128
                height: 128
                ShapePath {
                    fillColor: "transparent"
                    strokeColor: view.withAlpha(view.accent, 0.35)
                    strokeWidth: 0.75
                    strokeStyle: ShapePath.DashLine
                    dashPattern: [4 / 0.75, 8 / 0.75] // in line widths: 4 on, 8 off
                    PathAngleArc {
                        centerX: 64
                        centerY: 64
                        radiusX: 64
                        radiusY: 64
                        sweepAngle: 360
                    }
                }
                NumberAnimation on rotation {
                    id: orbitTurn
                    running: view.animating
                    loops: Animation.Infinite
                    from: 0
                    to: -360
                    duration: view.orbitMs
                }
            }

            Item {
                id: core
                objectName: "core"
                anchors.centerIn: parent
                width: 92
                height: 92

                // The body; a soft edge stands for its slight blur.
                HexagonShape {
                    anchors.fill: parent
                    opacity: 0.9
                    strokeColor: view.withAlpha(view.accent, 0.3)
                    strokeWidth: 2
                    fillGradient: LinearGradient {
                        x2: core.width
                        y2: core.height
                        GradientStop { position: 0; color: view.accent }
                        GradientStop { position: 1; color: view.withAlpha(view.accent, 0.5) }
                    }
                }
                HexagonShape {
                    id: facet
                    anchors.fill: parent
                    anchors.margins: 8
                    fillGradient: LinearGradient {
                        x2: facet.width
                        y2: facet.height
                        GradientStop { position: 0; color: view.withAlpha(view.accent, 0.9) }
                        GradientStop { position: 0.5; color: view.accent }
                        GradientStop { position: 1; color: view.withAlpha(view.accent, 0.6) }
                    }
                }
                // The highlight (a screen blend where the platform has one; plain blending here).
                HexagonShape {
                    id: highlight
                    objectName: "highlight"
                    anchors.fill: parent
                    anchors.margins: 8
                    opacity: view.orbState === "thinking" ? 0.6 : 1
                    fillGradient: RadialGradient {
                        centerX: 0.38 * highlight.width
                        centerY: 0.32 * highlight.height
                        centerRadius: 46
                        focalX: centerX
                        focalY: centerY
                        GradientStop { position: 0; color: Qt.rgba(1, 1, 1, 0.95) }
                        GradientStop { position: 0.5; color: Qt.rgba(1, 1, 1, 0.3) }
                        GradientStop { position: 1; color: Qt.rgba(1, 1, 1, 0) }
                    }
                }

                SequentialAnimation {
                    id: coreBreath
                    running: view.animating
                    loops: Animation.Infinite
                    ParallelAnimation {
                        NumberAnimation { target: core; property: "rotation"; from: -4; to: 4; duration: view.pulseMs; easing.type: Easing.InOutQuad }
                        NumberAnimation { target: core; property: "scale"; from: 0.94; to: 1.05; duration: view.pulseMs; easing.type: Easing.InOutQuad }
                    }
                    ParallelAnimation {
                        NumberAnimation { target: core; property: "rotation"; from: 4; to: -4; duration: view.pulseMs; easing.type: Easing.InOutQuad }
                        NumberAnimation { target: core; property: "scale"; from: 1.05; to: 0.94; duration: view.pulseMs; easing.type: Easing.InOutQuad }
                    }
                }
            }
        }

        Row {
            id: bars
            objectName: "speakingBars"
            anchors.centerIn: parent
            height: 22
            spacing: 3
            visible: view.orbState === "speaking"

            Repeater {
                model: [12, 19, 9, 17, 14]
                Item {
                    id: slot
                    required property int index
                    required property int modelData
                    width: 3.5
                    height: bars.height

                    // The row's soft black shadow, one piece per bar.
                    Rectangle {
                        anchors.centerIn: bar
                        width: bar.width + 4
                        height: bar.height + 4
                        radius: width / 2
                        color: Qt.rgba(0, 0, 0, 0.18)
                    }
                    Rectangle {
                        id: bar
                        anchors.verticalCenter: parent.verticalCenter
                        width: parent.width
                        height: 6
                        radius: 2
                        color: "white"

                        SequentialAnimation on height {
                            running: bars.visible && view.animating
                            PauseAnimation { duration: 60 * slot.index }
                            SequentialAnimation {
                                loops: Animation.Infinite
                                NumberAnimation { from: 6; to: slot.modelData; duration: 320 + 90 * (slot.index % 3); easing.type: Easing.InOutQuad }
                                NumberAnimation { from: slot.modelData; to: 6; duration: 320 + 90 * (slot.index % 3); easing.type: Easing.InOutQuad }
                            }
                        }
                    }
                }
            }
        }

        Rectangle {
            id: cancelHint
            objectName: "cancelHint"
            anchors.fill: parent
            radius: width / 2
            color: Qt.rgba(0, 0, 0, 0.55)
            visible: view.showsCancelHint

            // The "xmark" symbol, drawn here so it never depends on the icon theme.
            Repeater {
                model: [45, -45]
                Rectangle {
                    required property real modelData
                    anchors.centerIn: parent
                    width: 3
                    height: 20
                    radius: 1.5
                    rotation: modelData
                    antialiasing: true
                    color: "white"
                }
            }
        }
    }

    Text {
        id: labelText
        objectName: "label"
        anchors.horizontalCenter: card.horizontalCenter
        anchors.top: orbArea.bottom
        anchors.topMargin: 14
        width: Math.min(implicitWidth, view.width - 2 * 20)
        height: 14
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        text: view.showsCancelHint ? "Tap to cancel" : view.label
        color: Theme.textSecondary
        font.pixelSize: 11
        font.weight: Font.Medium
    }

    MouseArea {
        objectName: "clickCatcher"
        anchors.fill: orbArea
        hoverEnabled: true
        onPressed: view.orbClicked()
        onEntered: view.orbHovered(true)
        onExited: view.orbHovered(false)
    }
}
