import QtQuick
import KestrinAI

// One message of the transcript: prose as selectable rich text, fenced code in framed
// monospaced boxes with a "Copy" button. Follows `text` on every change (each streamed piece):
// `MarkdownBlocks` splits it and only the blocks that changed are styled (singleton `Markdown`)
// and laid out again. The width comes from the parent (the transcript row sets it). Sizes are
// device-independent pixels, fonts included.
Column {
    id: root

    property string text

    spacing: 9

    Repeater {
        model: MarkdownBlocks {
            text: root.text
        }

        delegate: Loader {
            required property string kind
            required property string text

            width: root.width
            sourceComponent: kind === "code" ? codeBlock : proseBlock
        }
    }

    Component {
        id: proseBlock

        TextEdit {
            objectName: "prose"
            text: parent ? Markdown.attributed(parent.text) : ""
            textFormat: TextEdit.RichText // the extra 3.5 of line spacing is in the rich text
            wrapMode: TextEdit.Wrap
            readOnly: true
            selectByMouse: true
            color: Theme.textPrimary
            selectionColor: Qt.rgba(Theme.oryn.r, Theme.oryn.g, Theme.oryn.b, 0.35)
            selectedTextColor: Theme.textPrimary
            // font.pixelSize is whole pixels; at Qt's logical 96 dpi a point is 4/3 pixel, so
            // this is 13.5 device-independent pixels.
            font.pointSize: 13.5 * 72 / 96
            // Links come from the model's text: only web and mail addresses are opened.
            onLinkActivated: link => {
                if (Markdown.isSafeLink(link))
                    Qt.openUrlExternally(link);
            }

            HoverHandler {
                cursorShape: parent.hoveredLink ? Qt.PointingHandCursor : Qt.IBeamCursor
            }
        }
    }

    Component {
        id: codeBlock

        Rectangle {
            id: frame
            objectName: "codeBlock"

            readonly property string code: parent ? parent.text : ""

            height: codeText.implicitHeight + 2 * 10
            color: Theme.panelRaised
            border.width: 1
            border.color: Theme.stroke
            radius: 9
            clip: true

            TextEdit {
                id: codeText
                objectName: "code"
                x: 10
                y: 10
                width: frame.width - 2 * 10
                text: frame.code
                textFormat: TextEdit.PlainText
                wrapMode: TextEdit.Wrap
                readOnly: true
                selectByMouse: true
                color: Theme.textPrimary
                selectionColor: Qt.rgba(Theme.oryn.r, Theme.oryn.g, Theme.oryn.b, 0.35)
                selectedTextColor: Theme.textPrimary
                font.family: "monospace"
                font.pixelSize: 12
            }

            // Copies the whole block; says "Copied" for a moment after.
            Rectangle {
                id: copyButton
                objectName: "copyButton"

                property bool copied: false

                signal clicked()

                anchors.top: parent.top
                anchors.right: parent.right
                anchors.margins: 5
                width: copyLabel.implicitWidth + 12
                height: copyLabel.implicitHeight + 6
                radius: 6
                color: copyMouse.containsMouse ? Theme.panelHover : Theme.panelRaised
                border.width: 1
                border.color: Theme.stroke

                onClicked: {
                    Clipboard.setText(frame.code);
                    copied = true;
                    copiedTimer.restart();
                }

                Text {
                    id: copyLabel
                    objectName: "copyLabel"
                    anchors.centerIn: parent
                    text: copyButton.copied ? "Copied" : "Copy"
                    textFormat: Text.PlainText
                    color: copyButton.copied ? Theme.ok : Theme.textSecondary
                    font.pixelSize: 11
                    font.weight: Font.Medium
                }

                MouseArea {
                    id: copyMouse
                    anchors.fill: parent
                    hoverEnabled: true
                    cursorShape: Qt.PointingHandCursor
                    onClicked: copyButton.clicked()
                }

                Timer {
                    id: copiedTimer
                    interval: 1500
                    onTriggered: copyButton.copied = false
                }
            }
        }
    }
}
