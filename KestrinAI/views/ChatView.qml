import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import KestrinAI

// The chat of the selected agent: the transcript (or, while it is empty, a welcome with
// suggestions) over the input box.
Item {
    id: chat

    required property ChatViewModel vm
    property color accent: Theme.oryn

    readonly property var agent: vm.selectedModel
    readonly property bool isKestrin: agent.id === "kestrin"
    readonly property bool busy: vm.isThinking || vm.isStreaming
    readonly property bool showsTranscript: vm.messages.count > 0 || vm.isThinking

    function withOpacity(c, a) { return Qt.rgba(c.r, c.g, c.b, a) }

    ColumnLayout {
        anchors.fill: parent
        spacing: 8

        // Transcript
        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: chat.showsTranscript

            ListView {
                id: transcript
                objectName: "transcript"
                anchors.fill: parent
                clip: true
                spacing: 6
                boundsBehavior: Flickable.StopAtBounds
                model: chat.vm.messages
                ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded; width: 6 }

                function followEnd() { Qt.callLater(transcript.positionViewAtEnd) }
                onCountChanged: followEnd()
                onVisibleChanged: if (visible) followEnd()
                Connections {
                    target: chat.vm.messages
                    function onDataChanged() { transcript.followEnd() }
                    function onModelReset() { transcript.followEnd() }
                }

                add: Transition {
                    NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 200 }
                    NumberAnimation { property: "y"; from: transcript.height; duration: 220; easing.type: Easing.OutCubic }
                }
                remove: Transition { NumberAnimation { property: "opacity"; to: 0; duration: 150 } }

                delegate: MessageRow {
                    width: transcript.width - 8
                    accent: chat.accent
                    agent: chat.agent
                }

                footer: Item {
                    width: transcript.width
                    height: typing.visible ? typing.height + 10 : 0
                    Row {
                        id: typing
                        objectName: "typingRow"
                        y: 10
                        spacing: 8
                        visible: chat.vm.isThinking
                        opacity: visible ? 1 : 0
                        Behavior on opacity { NumberAnimation { duration: 150 } }
                        PersonaAvatar {
                            accent: chat.accent
                            initial: chat.agent.displayName.charAt(0)
                            size: 20
                        }
                        ShimmerText {
                            anchors.verticalCenter: parent.verticalCenter
                            text: PanelTexts.typingLabel(chat.agent.id, chat.vm.attachScreen)
                        }
                    }
                }
            }

            // The transcript fades out at both ends: bands of the panel's colour over it.
            Rectangle {
                width: parent.width
                height: parent.height * 0.025
                gradient: Gradient {
                    GradientStop { position: 0; color: chat.withOpacity(Theme.ink, 0.82) }
                    GradientStop { position: 1; color: "transparent" }
                }
            }
            Rectangle {
                anchors.bottom: parent.bottom
                width: parent.width
                height: parent.height * 0.03
                gradient: Gradient {
                    GradientStop { position: 0; color: "transparent" }
                    GradientStop { position: 1; color: chat.withOpacity(Theme.ink, 0.82) }
                }
            }
        }

        // Empty state
        Item {
            objectName: "emptyState"
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: !chat.showsTranscript

            Column {
                anchors.centerIn: parent
                width: parent.width
                spacing: 10

                Item {
                    width: parent.width
                    height: 46 + 8
                    Rectangle {
                        // The avatar's glow.
                        anchors.centerIn: avatar
                        width: 46 + 24
                        height: 46 + 24
                        radius: width / 2
                        color: chat.withOpacity(chat.accent, 0.12)
                    }
                    PersonaAvatar {
                        id: avatar
                        anchors.horizontalCenter: parent.horizontalCenter
                        accent: chat.accent
                        initial: chat.agent.displayName.charAt(0)
                        size: 46
                    }
                }
                Text {
                    objectName: "emptyTitle"
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: PanelTexts.emptyTitle(chat.agent.id)
                    color: Theme.textPrimary
                    font.pixelSize: 17
                    font.weight: Font.DemiBold
                }
                Text {
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: PanelTexts.emptySubtitle(chat.agent.id)
                    color: Theme.textSecondary
                    font.pixelSize: 12
                }
                Item { width: 1; height: 6 }
                Repeater {
                    objectName: "suggestions"
                    model: PanelTexts.suggestions(chat.agent.id)
                    Rectangle {
                        required property var modelData
                        objectName: "suggestion"
                        property string suggestion: modelData.text
                        anchors.horizontalCenter: parent.horizontalCenter
                        width: Math.min(parent.width - 24, suggestionRow.implicitWidth + 24)
                        height: suggestionRow.implicitHeight + 20
                        radius: 12
                        color: suggestionHover.hovered ? Theme.panelHover : chat.withOpacity(Theme.panelRaised, 0.75)
                        border.color: Theme.stroke
                        border.width: 1
                        Accessible.role: Accessible.Button
                        Accessible.name: modelData.text
                        Row {
                            id: suggestionRow
                            x: 12
                            anchors.verticalCenter: parent.verticalCenter
                            spacing: 8
                            Item {
                                width: 18
                                height: 18
                                Symbol { anchors.centerIn: parent; name: modelData.symbol; size: 12; color: chat.accent }
                            }
                            Text {
                                anchors.verticalCenter: parent.verticalCenter
                                text: modelData.text
                                color: Theme.textPrimary
                                font.pointSize: 12.5 * 0.75
                            }
                        }
                        HoverHandler { id: suggestionHover }
                        TapHandler { onTapped: chat.vm.sendSuggestion(modelData.text) }
                    }
                }
                Item { width: 1; height: 6 }
                Text {
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: PanelTexts.wakeHint
                    color: Theme.textTertiary
                    font.pointSize: 11.5 * 0.75
                }
            }
        }

        // "Include screen" (Kestrin only)
        Rectangle {
            objectName: "screenToggle"
            visible: chat.isKestrin
            Layout.alignment: Qt.AlignLeft
            implicitWidth: toggleRow.implicitWidth + 16
            implicitHeight: toggleRow.implicitHeight + 8
            radius: height / 2
            color: toggleHover.hovered ? Theme.panelHover : "transparent"
            readonly property color tint: chat.vm.attachScreen ? chat.accent : Theme.textTertiary
            Accessible.role: Accessible.CheckBox
            Accessible.checked: chat.vm.attachScreen
            Accessible.name: toggleText.text
            Row {
                id: toggleRow
                anchors.centerIn: parent
                spacing: 6
                Symbol {
                    anchors.verticalCenter: parent.verticalCenter
                    name: chat.vm.attachScreen ? "display" : "display.trianglebadge.exclamationmark"
                    size: 12
                    color: parent.parent.tint
                }
                Text {
                    id: toggleText
                    text: chat.vm.attachScreen ? "Include screen" : "Screen off"
                    color: parent.parent.tint
                    font.pointSize: 11.5 * 0.75
                    font.weight: Font.Medium
                }
            }
            HoverHandler { id: toggleHover }
            TapHandler { onTapped: chat.vm.attachScreen = !chat.vm.attachScreen }
            ToolTip.visible: toggleHover.hovered
            ToolTip.delay: 700
            ToolTip.text: "When on, Kestrin looks at your screen with each message"
        }

        // Input box
        Rectangle {
            id: inputBox
            Layout.fillWidth: true
            implicitHeight: inputRow.implicitHeight + 10
            radius: 19
            color: chat.withOpacity(Theme.panelRaised, 0.9)
            readonly property bool focused: field.activeFocus
            border.color: focused ? chat.withOpacity(chat.accent, 0.65) : Theme.stroke
            border.width: focused ? 1.5 : 1
            Behavior on border.color { ColorAnimation { duration: 150; easing.type: Easing.OutQuad } }

            Rectangle {
                // The focus glow.
                z: -1
                anchors.fill: parent
                anchors.margins: -4
                radius: parent.radius + 4
                color: "transparent"
                border.color: chat.withOpacity(chat.accent, 0.16)
                border.width: 4
                opacity: inputBox.focused ? 1 : 0
                Behavior on opacity { NumberAnimation { duration: 150; easing.type: Easing.OutQuad } }
            }

            RowLayout {
                id: inputRow
                anchors.fill: parent
                anchors.margins: 5
                spacing: 8

                Rectangle {
                    objectName: "micButton"
                    Layout.alignment: Qt.AlignBottom
                    width: 30
                    height: 30
                    radius: 15
                    readonly property bool listening: chat.vm.speech.isListening
                    color: listening ? Theme.bad : Theme.panel
                    Accessible.role: Accessible.Button
                    Accessible.name: "Dictate a message"
                    Symbol {
                        anchors.centerIn: parent
                        name: parent.listening ? "waveform" : "mic.fill"
                        size: 13
                        color: parent.listening ? "white" : Theme.textSecondary
                    }
                    HoverHandler { id: micHover }
                    TapHandler {
                        onTapped: parent.listening ? chat.vm.stopVoiceInput() : chat.vm.startVoiceInput()
                    }
                    ToolTip.visible: micHover.hovered
                    ToolTip.delay: 700
                    ToolTip.text: "Dictate a message"
                }

                ScrollView {
                    Layout.fillWidth: true
                    Layout.alignment: Qt.AlignBottom
                    Layout.preferredHeight: Math.min(field.implicitHeight, 120)
                    TextArea {
                        id: field
                        objectName: "inputField"
                        text: chat.vm.draft
                        onTextChanged: if (text !== chat.vm.draft) chat.vm.draft = text
                        placeholderText: chat.agent.placeholder
                        placeholderTextColor: Theme.textTertiary
                        color: Theme.textPrimary
                        selectionColor: chat.withOpacity(chat.accent, 0.4)
                        selectedTextColor: Theme.textPrimary
                        font.pointSize: 13.5 * 0.75
                        wrapMode: TextEdit.Wrap
                        textFormat: TextEdit.PlainText
                        background: null
                        padding: 4
                        topPadding: 6
                        bottomPadding: 6
                        Keys.onReturnPressed: (event) => {
                            if (event.modifiers & Qt.ShiftModifier) {
                                event.accepted = false
                                return
                            }
                            chat.vm.submitDraft()
                        }
                        Keys.onEnterPressed: (event) => chat.vm.submitDraft()
                    }
                }

                Rectangle {
                    objectName: "sendButton"
                    Layout.alignment: Qt.AlignBottom
                    width: 30
                    height: 30
                    radius: 15
                    color: chat.accent
                    enabled: chat.busy || chat.vm.canSend
                    opacity: enabled ? 1 : 0.35
                    Accessible.role: Accessible.Button
                    Accessible.name: chat.busy ? "Stop" : "Send"
                    Symbol {
                        anchors.centerIn: parent
                        name: chat.busy ? "stop.fill" : "arrow.up"
                        size: 13
                        color: Theme.ink
                    }
                    HoverHandler { id: sendHover }
                    TapHandler { onTapped: chat.busy ? chat.vm.cancelCurrent() : chat.vm.send() }
                    ToolTip.visible: sendHover.hovered
                    ToolTip.delay: 700
                    ToolTip.text: chat.busy ? "Stop" : "Send"
                }
            }
        }
    }
}
