// The map window's content: the globe in a dark panel framed and haloed in cyan, 24 points in
// from the window's edges, with the place's name and a close button over its top and a caption
// at its bottom.
import QtQuick
import QtQuick.Controls
import QtQuick.Shapes
import KestrinAI

Item {
    id: view
    objectName: "mapWindowView"

    required property string placeName
    required property real latitude
    required property real longitude
    /// The controller clears it while the window is hidden: the globe's animations stop.
    property bool active: true

    /// The close button was pressed; the controller fades the window out.
    signal closeRequested()

    /// Shows another place in the same view: its name, then the globe turns to it.
    function present(placeName, latitude, longitude) {
        view.placeName = placeName
        view.latitude = latitude
        view.longitude = longitude
        globe.flyTo(latitude, longitude)
    }

    readonly property color cyan: "#64D2FF" // the desktop's cyan in a dark interface
    readonly property int inset: 24
    readonly property int corner: 20

    width: 980
    height: 680

    Component.onCompleted: globe.flyTo(latitude, longitude)

    // The cyan glow around the panel: a blurred shadow of its shape.
    PanelGlow {
        anchors.fill: parent
        inset: view.inset
        radius: view.corner
        blur: 30
        color: Qt.rgba(view.cyan.r, view.cyan.g, view.cyan.b, 0.35)
    }

    Item {
        id: panel
        anchors.fill: parent
        anchors.margins: view.inset

        GlobeView {
            id: globe
            anchors.fill: parent
            cornerRadius: view.corner
            active: view.active
        }

        Rectangle {
            anchors.fill: parent
            radius: view.corner
            color: "transparent"
            border.color: Qt.rgba(view.cyan.r, view.cyan.g, view.cyan.b, 0.5)
            border.width: 1.5
        }

        Row {
            anchors.left: parent.left
            anchors.leftMargin: 20
            anchors.verticalCenter: closeButton.verticalCenter
            spacing: 8

            Rectangle {
                anchors.verticalCenter: parent.verticalCenter
                width: 7
                height: 7
                radius: 3.5
                color: view.cyan
            }

            Text {
                objectName: "placeName"
                width: Math.min(implicitWidth, panel.width - 120)
                text: view.placeName.toUpperCase()
                color: view.cyan
                font.pixelSize: 13
                font.weight: Font.DemiBold
                font.letterSpacing: 1.5
                elide: Text.ElideRight
            }
        }

        AbstractButton {
            id: closeButton
            objectName: "closeButton"
            anchors.top: parent.top
            anchors.right: parent.right
            anchors.margins: 12
            implicitWidth: 28
            implicitHeight: 28
            padding: 0
            background: Item {}
            // The "xmark" symbol, drawn here so it never depends on the icon theme.
            contentItem: Item {
                Shape {
                    anchors.centerIn: parent
                    width: 11
                    height: 11
                    ShapePath {
                        strokeColor: "white"
                        strokeWidth: 2 // bold
                        fillColor: "transparent"
                        capStyle: ShapePath.RoundCap
                        startX: 1; startY: 1
                        PathLine { x: 10; y: 10 }
                        PathMove { x: 10; y: 1 }
                        PathLine { x: 1; y: 10 }
                    }
                }
            }
            onClicked: view.closeRequested()
        }

        Text {
            objectName: "caption"
            anchors.horizontalCenter: parent.horizontalCenter
            anchors.bottom: parent.bottom
            anchors.bottomMargin: 16
            text: "IN PROGRESS  /  PIN POSITION IS APPROXIMATE"
            color: Qt.rgba(view.cyan.r, view.cyan.g, view.cyan.b, 0.6)
            font.pixelSize: 10
            font.weight: Font.Medium
            font.letterSpacing: 1.0
        }
    }
}
