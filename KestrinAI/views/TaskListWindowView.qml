// The content of the floating task window: a header with a close button, the tasks newest
// first (or a hint when there are none), and a field to type a new one.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtQuick.Shapes
import KestrinAI

Rectangle {
    id: view
    objectName: "taskListView"

    required property TaskStore store
    /// The text being typed in the input row.
    property alias newTask: field.text

    /// The close button was pressed; the controller fades the window out.
    signal close()

    width: 320
    height: 440
    radius: 16
    color: Theme.panel
    border.color: Theme.stroke
    border.width: 0.5

    // Symbols drawn here, so the look never depends on the desktop's icon theme.
    component XmarkSymbol: Shape {
        id: xmark
        property real size: 10
        property color color: Theme.textSecondary
        width: size
        height: size
        ShapePath {
            strokeColor: xmark.color
            strokeWidth: xmark.size * 0.18 // bold
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            startX: xmark.size * 0.1; startY: xmark.size * 0.1
            PathLine { x: xmark.size * 0.9; y: xmark.size * 0.9 }
            PathMove { x: xmark.size * 0.9; y: xmark.size * 0.1 }
            PathLine { x: xmark.size * 0.1; y: xmark.size * 0.9 }
        }
    }

    component CircleSymbol: Shape {
        id: circle
        property real size: 14
        property color color: Theme.textPrimary
        /// "checkmark.circle.fill": a filled disc with the tick cut out of it.
        property bool checked: false
        width: size
        height: size
        ShapePath {
            strokeColor: circle.checked ? "transparent" : circle.color
            strokeWidth: circle.size * 0.09
            fillColor: circle.checked ? circle.color : "transparent"
            PathAngleArc {
                centerX: circle.size / 2; centerY: circle.size / 2
                radiusX: circle.size * 0.455; radiusY: circle.size * 0.455
                startAngle: 0; sweepAngle: 360
            }
        }
        ShapePath {
            strokeColor: circle.checked ? Theme.panel : "transparent"
            strokeWidth: circle.size * 0.12
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            joinStyle: ShapePath.RoundJoin
            startX: circle.size * 0.29; startY: circle.size * 0.52
            PathLine { x: circle.size * 0.44; y: circle.size * 0.67 }
            PathLine { x: circle.size * 0.72; y: circle.size * 0.36 }
        }
    }

    component TrashSymbol: Shape {
        id: trash
        property real size: 10
        property color color: Theme.textSecondary
        width: size
        height: size
        ShapePath {
            strokeColor: trash.color
            strokeWidth: trash.size * 0.1
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            joinStyle: ShapePath.RoundJoin
            // lid
            startX: trash.size * 0.08; startY: trash.size * 0.22
            PathLine { x: trash.size * 0.92; y: trash.size * 0.22 }
            // handle
            PathMove { x: trash.size * 0.36; y: trash.size * 0.22 }
            PathLine { x: trash.size * 0.4; y: trash.size * 0.06 }
            PathLine { x: trash.size * 0.6; y: trash.size * 0.06 }
            PathLine { x: trash.size * 0.64; y: trash.size * 0.22 }
            // can
            PathMove { x: trash.size * 0.18; y: trash.size * 0.22 }
            PathLine { x: trash.size * 0.25; y: trash.size * 0.95 }
            PathLine { x: trash.size * 0.75; y: trash.size * 0.95 }
            PathLine { x: trash.size * 0.82; y: trash.size * 0.22 }
            // ribs
            PathMove { x: trash.size * 0.42; y: trash.size * 0.38 }
            PathLine { x: trash.size * 0.42; y: trash.size * 0.8 }
            PathMove { x: trash.size * 0.58; y: trash.size * 0.38 }
            PathLine { x: trash.size * 0.58; y: trash.size * 0.8 }
        }
    }

    component Divider: Rectangle {
        Layout.fillWidth: true
        implicitHeight: 1
        color: Theme.stroke
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 16
            spacing: 8

            Text {
                text: "TASKS"
                color: Theme.textSecondary
                font.pixelSize: 12
                font.bold: true
                font.letterSpacing: 1.5
            }

            Item { Layout.fillWidth: true }

            AbstractButton {
                objectName: "closeButton"
                implicitWidth: 22
                implicitHeight: 22
                padding: 0
                background: Rectangle { color: Theme.panelRaised }
                contentItem: Item {
                    XmarkSymbol { anchors.centerIn: parent; size: 10; color: Theme.textSecondary }
                }
                onClicked: view.close()
            }
        }

        Divider {}

        Flickable {
            id: scroller
            objectName: "taskScroller"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            contentWidth: width
            contentHeight: rows.height + 24
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }

            Column {
                id: rows
                x: 12
                y: 12
                width: scroller.width - 24
                spacing: 8

                Text {
                    objectName: "emptyHint"
                    visible: view.store.count === 0
                    width: rows.width
                    topPadding: 16
                    text: "No tasks yet. Try saying \"Tarvik, add a task to\u2026\""
                    color: Theme.textSecondary
                    font.pixelSize: 12 // 11.5, in whole pixels
                    wrapMode: Text.Wrap
                }

                Repeater {
                    model: view.store

                    delegate: Item {
                        id: row
                        required property var task
                        required property string text
                        required property bool done
                        required property int index

                        objectName: "taskRow" + index
                        width: rows.width
                        implicitHeight: content.implicitHeight + 12
                        height: implicitHeight

                        RowLayout {
                            id: content
                            anchors.fill: parent
                            anchors.leftMargin: 8
                            anchors.rightMargin: 8
                            anchors.topMargin: 6
                            anchors.bottomMargin: 6
                            spacing: 8

                            AbstractButton {
                                objectName: "taskToggle"
                                Layout.alignment: Qt.AlignTop
                                implicitWidth: 16
                                implicitHeight: 16
                                padding: 0
                                contentItem: Item {
                                    CircleSymbol {
                                        anchors.centerIn: parent
                                        size: 14
                                        checked: row.done
                                        color: Theme.textPrimary
                                    }
                                }
                                onClicked: view.store.toggle(row.task)
                            }

                            Text {
                                objectName: "taskText"
                                Layout.fillWidth: true
                                text: row.text
                                color: row.done ? Theme.textSecondary : Theme.textPrimary
                                font.strikeout: row.done
                                font.pixelSize: 13 // 12.5, in whole pixels
                                wrapMode: Text.Wrap
                            }

                            AbstractButton {
                                objectName: "taskRemove"
                                Layout.alignment: Qt.AlignTop
                                implicitWidth: 16
                                implicitHeight: 16
                                padding: 0
                                opacity: 0.6
                                contentItem: Item {
                                    TrashSymbol { anchors.centerIn: parent; size: 10; color: Theme.textSecondary }
                                }
                                onClicked: view.store.remove(row.task)
                            }
                        }
                    }
                }
            }
        }

        Divider {}

        TextField {
            id: field
            objectName: "newTaskField"
            Layout.fillWidth: true
            Layout.margins: 12
            leftPadding: 10
            rightPadding: 10
            topPadding: 8
            bottomPadding: 8
            placeholderText: "New task"
            placeholderTextColor: Theme.textTertiary
            color: Theme.textPrimary
            font.pixelSize: 13 // 12.5, in whole pixels
            background: Rectangle { color: Theme.panelRaised; radius: 9 }
            // The store ignores blank text; the field empties either way.
            onAccepted: {
                view.store.add(text)
                text = ""
            }
        }
    }
}
