// The holographic globe: a glowing sphere before a star field. It spins slowly until it is
// flown to a place, which it turns to face the viewer before a pin drops onto it. Drag to spin
// it, scroll or pinch to zoom.
import QtQuick
import QtQuick3D
import KestrinAI

Item {
    id: globe
    objectName: "globe"

    /// False while the window is hidden: every animation holds still, since they cost CPU even
    /// when nothing is shown.
    property bool active: true
    /// Of the camera from the globe's centre (the globe's radius is 1).
    property real cameraDistance: GlobeMath.startDistance
    /// The idle spin runs until the first fly-to or drag, and never again.
    property bool spinning: true
    /// The star field's corners, to match a rounded frame.
    property alias cornerRadius: sky.radius
    /// Whether the earth picture has replaced the grid.
    readonly property alias showsEarth: surface.showsEarth
    /// Multisampled edges; off on software rendering, where they would halve the frame rate.
    property bool antialiased: !RenderingInfo.software
    /// While the globe turns to a place or the pin drops.
    readonly property bool flying: turn.running || drop.running

    /// Turns the place to face the viewer and drops the pin on it.
    function flyTo(latitude, longitude) {
        pin.position = GlobeMath.position(latitude, longitude)
        pin.rotation = GlobeMath.pinOrientation(latitude, longitude)
        pin.visible = true
        spinning = false
        turn.stop()
        turn.to = GlobeMath.facing(latitude, longitude)
        turn.start()
        drop.stop()
        pin.dropTime = 0
        drop.start()
    }

    function zoom(delta) {
        cameraDistance = GlobeMath.zoomed(cameraDistance, delta)
    }

    StarField {
        id: sky
        anchors.fill: parent
    }

    View3D {
        objectName: "globeScene"
        anchors.fill: parent
        camera: camera
        environment: SceneEnvironment {
            backgroundMode: SceneEnvironment.Transparent // the star field shows through
            antialiasingMode: globe.antialiased ? SceneEnvironment.MSAA : SceneEnvironment.NoAA
            antialiasingQuality: SceneEnvironment.High // 4 samples
        }

        PerspectiveCamera {
            id: camera
            position: Qt.vector3d(0, 0, globe.cameraDistance)
            fieldOfView: 32
            clipNear: 0.05
            clipFar: 20
        }

        // Fixed in the scene: the globe turns under it.
        PointLight {
            position: Qt.vector3d(2.2, 1.6, 2.8)
            color: "white"
            brightness: 1.1
            quadraticFade: 0 // the same strength at any distance
        }

        Node {
            id: earth
            objectName: "earth"

            NumberAnimation on eulerRotation.y {
                from: 0
                to: 360
                duration: 45000
                loops: Animation.Infinite
                running: globe.spinning
                paused: running && !globe.active
            }

            QuaternionAnimation {
                id: turn
                target: earth
                property: "rotation"
                duration: 1600
                easing.type: Easing.BezierSpline
                easing.bezierCurve: [0.42, 0, 0.58, 1, 1, 1] // ease in and out
                paused: running && !globe.active
            }

            // The surface glows with the grid or the earth, unlit. (An unlit glow map draws
            // black in this Qt; an unlit colour map looks the same and costs far less than a lit
            // material with a black colour.)
            Model {
                geometry: GlobeMesh {}
                materials: DefaultMaterial {
                    lighting: DefaultMaterial.NoLighting
                    diffuseMap: Texture {
                        textureData: GlobeSurface { id: surface }
                        flipV: true // texture data starts at v = 0; the pictures start with the north
                        generateMipmaps: true
                        mipFilter: Texture.Linear
                    }
                    // Seen from outside the mesh winds clockwise, as back faces: culling the
                    // front faces draws what a double-sided surface shows (the far side is
                    // hidden anyway) at half the cost.
                    cullMode: Material.FrontFaceCulling
                }
            }

            // The halo: a faint blue skin.
            Model {
                geometry: ShapeMesh {}
                scale: Qt.vector3d(1.01, 1.01, 1.01)
                depthBias: 1 // sorted behind the shading, so the dark side darkens the halo too
                materials: DefaultMaterial {
                    lighting: DefaultMaterial.NoLighting
                    diffuseColor: Qt.rgba(0.35, 0.75, 1.0, 1)
                    opacity: 0.06
                }
            }

            // Multiplied over the globe: darkens the side away from the light.
            Model {
                geometry: ShapeMesh {}
                scale: Qt.vector3d(1.004, 1.004, 1.004)
                materials: DefaultMaterial {
                    diffuseColor: "white"
                    specularAmount: 0
                    blendMode: DefaultMaterial.Multiply
                }
            }

            // In the pin's own units, +y away from the globe; shown from the first fly-to.
            Node {
                id: pin
                objectName: "pin"
                visible: false

                /// Seconds into the drop: still small for 1 s, then 0.25 s to 1.3 and 0.15 s to 1.
                property real dropTime: 0
                readonly property real size: dropTime < 1.0 ? 0.01
                    : dropTime < 1.25 ? 0.01 + (1.3 - 0.01) * (dropTime - 1.0) / 0.25
                    : 1.3 + (1.0 - 1.3) * Math.min(1, (dropTime - 1.25) / 0.15)
                scale: Qt.vector3d(size, size, size)

                NumberAnimation {
                    id: drop
                    target: pin
                    property: "dropTime"
                    from: 0
                    to: 1.4
                    duration: 1400
                    easing.type: Easing.BezierSpline
                    easing.bezierCurve: [0, 0, 0.58, 1, 1, 1] // ease out, over the whole sequence
                    paused: running && !globe.active
                }

                component Red: DefaultMaterial {
                    lighting: DefaultMaterial.NoLighting
                    diffuseColor: "red"
                }

                Model {
                    geometry: ShapeMesh { shape: ShapeMesh.Needle; segments: 24 }
                    y: 0.0475 // the tip touches the surface
                    materials: Red {}
                }
                Model {
                    geometry: ShapeMesh { segments: 24 }
                    y: 0.1225
                    scale: Qt.vector3d(0.05, 0.05, 0.05)
                    materials: Red {}
                }
                Model {
                    geometry: ShapeMesh { segments: 16 }
                    y: 0.1225
                    z: 0.035
                    scale: Qt.vector3d(0.02, 0.02, 0.02)
                    materials: DefaultMaterial {
                        lighting: DefaultMaterial.NoLighting
                        diffuseColor: "white"
                    }
                }

                Node {
                    id: ring
                    y: 0.001
                    property real pulse: 1
                    scale: Qt.vector3d(pulse, pulse, pulse)

                    Model {
                        geometry: ShapeMesh { shape: ShapeMesh.Ring; segments: 32 }
                        materials: Red {}
                    }

                    // Grows and fades together, then starts again from full size and opacity.
                    ParallelAnimation {
                        running: pin.visible
                        paused: running && !globe.active
                        loops: Animation.Infinite
                        NumberAnimation { target: ring; property: "pulse"; from: 1; to: 1.6; duration: 900 }
                        NumberAnimation { target: ring; property: "opacity"; from: 1; to: 0; duration: 900 }
                    }
                }
            }
        }

        MouseArea {
            anchors.fill: parent
            property point last

            onPressed: (mouse) => {
                globe.spinning = false
                turn.stop()
                last = Qt.point(mouse.x, mouse.y)
            }
            onPositionChanged: (mouse) => {
                earth.rotation = GlobeMath.dragged(earth.rotation, mouse.x - last.x, mouse.y - last.y)
                last = Qt.point(mouse.x, mouse.y)
            }
            // Scrolling up moves the camera away; a wheel notch counts as 15 points.
            onWheel: (wheel) => globe.zoom(wheel.pixelDelta.y !== 0 ? wheel.pixelDelta.y : wheel.angleDelta.y / 8)
        }

        PinchHandler {
            target: null
            property real lastScale: 1
            onActiveChanged: lastScale = 1
            // Spreading the fingers brings the camera closer.
            onActiveScaleChanged: {
                globe.zoom((activeScale / lastScale - 1) * -80)
                lastScale = activeScale
            }
        }
    }
}
