import QtQuick
import KestrinAI

// The question before an action: the message over "Cancel" and "Confirm", on a dark card that
// draws its own shadow. Sizes are device-independent pixels, fonts included. No shortcuts: only
// a click answers.
Item {
    id: root

    required property string message

    signal confirmed()
    signal cancelled()

    width: 260
    // At least the window's usual height, with the card in the middle; a long message grows it.
    height: Math.max(150, card.height)

    component QuestionButton: Rectangle {
        id: button

        property alias text: label.text
        property alias textColor: label.color

        signal clicked()

        width: (stack.width - row.spacing) / 2
        height: label.implicitHeight + 16
        radius: 9

        Text {
            id: label
            anchors.centerIn: parent
            font.pixelSize: 12
            font.weight: Font.DemiBold
            textFormat: Text.PlainText
        }

        MouseArea {
            anchors.fill: parent
            onClicked: button.clicked()
        }
    }

    // The shadow: black at 40 %, blurred over 20 pixels, around the card's shape.
    Canvas {
        id: shadow
        objectName: "shadow"
        readonly property int spread: 40
        x: card.x - spread
        y: card.y - spread
        width: card.width + 2 * spread
        height: card.height + 2 * spread
        onWidthChanged: requestPaint()
        onHeightChanged: requestPaint()
        onPaint: {
            const ctx = getContext("2d");
            ctx.reset();
            ctx.shadowColor = Qt.rgba(0, 0, 0, 0.4);
            ctx.shadowBlur = 20;
            ctx.fillStyle = Theme.panel;
            ctx.beginPath();
            ctx.roundedRect(spread, spread, card.width, card.height, card.radius, card.radius);
            ctx.fill();
        }
    }

    Rectangle {
        id: card
        objectName: "card"
        width: root.width
        height: stack.implicitHeight + 2 * 18
        anchors.verticalCenter: parent.verticalCenter
        radius: 16
        color: Theme.panel
        border.width: 0.5
        border.color: Theme.stroke

        Column {
            id: stack
            x: 18
            y: 18
            width: card.width - 2 * 18
            spacing: 14

            Text {
                objectName: "message"
                width: stack.width
                text: root.message
                textFormat: Text.PlainText
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
                color: Theme.textPrimary
                font.pixelSize: 13
                font.weight: Font.Medium
            }

            Row {
                id: row
                spacing: 10

                QuestionButton {
                    objectName: "cancelButton"
                    text: "Cancel"
                    color: Theme.panelRaised
                    textColor: Theme.textPrimary
                    onClicked: root.cancelled()
                }

                QuestionButton {
                    objectName: "confirmButton"
                    text: "Confirm"
                    color: Theme.oryn
                    textColor: "black"
                    onClicked: root.confirmed()
                }
            }
        }
    }
}
