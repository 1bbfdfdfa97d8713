import QtQuick
import QtQuick.Controls
import KestrinAI

// One message of the transcript: the user's on the right in a tinted bubble, the agent's on the
// left in markdown, with the agent's avatar on the first of a run of its messages.
Item {
    id: row

    required property string text
    required property bool isUser
    required property bool startsGroup
    property color accent: Theme.oryn
    property var agent

    function withOpacity(c, a) { return Qt.rgba(c.r, c.g, c.b, a) }

    readonly property real topGap: startsGroup && index > 0 ? 8 : 0
    required property int index

    implicitHeight: topGap + (isUser ? bubble.height : assistant.height)

    Rectangle {
        id: bubble
        objectName: "userBubble"
        visible: row.isUser
        anchors.right: parent.right
        y: row.topGap
        width: Math.min(bubbleText.implicitWidth, row.width - 56 - 26) + 26
        height: bubbleText.implicitHeight + 18
        radius: 16
        color: row.withOpacity(row.accent, 0.14)
        border.color: row.withOpacity(row.accent, 0.28)
        border.width: 1
        TextEdit {
            id: bubbleText
            x: 13
            y: 9
            width: Math.min(implicitWidth, row.width - 56 - 26)
            text: row.isUser ? row.text : ""
            textFormat: TextEdit.PlainText
            wrapMode: TextEdit.Wrap
            readOnly: true
            selectByMouse: true
            color: Theme.textPrimary
            selectionColor: row.withOpacity(row.accent, 0.4)
            font.pointSize: 13.5 * 0.75
        }
    }

    Row {
        id: assistant
        visible: !row.isUser
        y: row.topGap
        spacing: 8
        Item {
            width: 20
            height: 20
            PersonaAvatar {
                objectName: "assistantAvatar"
                visible: row.startsGroup
                accent: row.accent
                initial: row.agent ? row.agent.displayName.charAt(0) : ""
                size: 20
            }
        }
        MarkdownText {
            width: row.width - 28
            text: row.isUser ? "" : row.text
        }
    }

    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: (point) => menu.popup()
    }

    Menu {
        id: menu
        padding: 4
        background: Rectangle {
            implicitWidth: 120
            radius: 8
            color: Theme.panelRaised
            border.color: Theme.strokeStrong
            border.width: 1
        }
        MenuItem {
            id: copyItem
            text: "Copy"
            onTriggered: Clipboard.setText(row.text)
            contentItem: Text {
                text: copyItem.text
                color: Theme.textPrimary
                font.pixelSize: 13
                leftPadding: 4
            }
            background: Rectangle {
                implicitHeight: 26
                radius: 5
                color: copyItem.highlighted ? Theme.panelHover : "transparent"
            }
        }
    }
}
