import QtQuick
import QtQuick.Layouts
import QtQuick.Shapes
import KestrinAI

// The edge panel's content: the open panel (header, agent switcher, chat, engine status) and,
// while collapsed, the tab at the right edge. It shows the chat session, the panel state and the
// setup model and calls their operations; the window asks for setup and settings.
// Sizes are pixels; a fractional font size is given in points (x 0.75), which Qt allows.
HoverTrackingView {
    id: root

    required property ChatViewModel vm
    required property PanelState panelState
    required property SetupModel setup

    signal openSetupRequested()
    signal openSettingsRequested()

    readonly property bool expanded: panelState.isExpanded
    readonly property color accent: vm.selectedModel.accent

    function withOpacity(c, a) { return Qt.rgba(c.r, c.g, c.b, a) }

    width: Theme.panelWidth + Theme.bulgeWidth
    height: Theme.panelHeight

    // The open panel. Its right corners are square: it is flush with the screen's edge.
    Item {
        id: body
        objectName: "panelBody"
        width: Theme.panelWidth + Theme.bulgeWidth
        height: parent.height
        opacity: root.expanded ? 1 : 0
        enabled: root.expanded
        visible: opacity > 0
        Behavior on opacity { NumberAnimation { duration: 140; easing.type: Easing.OutQuad } }

        // Slides in a little with the panel's spring.
        transform: Translate {
            x: root.expanded ? 0 : 24
            Behavior on x { NumberAnimation { duration: Theme.springDuration; easing: Theme.spring } }
        }

        Shape {
            id: bodyShape
            anchors.fill: parent
            antialiasing: true
            readonly property string outline: {
                const w = body.width, h = body.height, r = Theme.panelCorner
                return `M ${r} 0 H ${w} V ${h} H ${r} A ${r} ${r} 0 0 1 0 ${h - r} V ${r} A ${r} ${r} 0 0 1 ${r} 0 Z`
            }
            // A dark translucent fill stands in for the desktop's blur.
            ShapePath {
                fillColor: root.withOpacity(Theme.ink, 0.82)
                strokeColor: Theme.strokeStrong
                strokeWidth: 0.75
                PathSvg { path: bodyShape.outline }
            }
            ShapePath {
                strokeColor: "transparent"
                fillGradient: RadialGradient {
                    centerX: 0; centerY: 0; centerRadius: 360
                    focalX: 0; focalY: 0; focalRadius: 0
                    GradientStop { position: 0; color: root.withOpacity(root.accent, 0.1) }
                    GradientStop { position: 1; color: "transparent" }
                }
                PathSvg { path: bodyShape.outline }
            }
        }

        ColumnLayout {
            anchors.fill: parent
            anchors.leftMargin: 16
            anchors.rightMargin: 16 + Theme.bulgeWidth / 2
            anchors.topMargin: 14
            anchors.bottomMargin: 12
            spacing: 10

            // Header
            RowLayout {
                Layout.fillWidth: true
                spacing: 9
                KestrinMark {
                    Layout.preferredWidth: 27
                    Layout.preferredHeight: 23
                }
                Text {
                    text: "Kestrin AI"
                    color: Theme.textPrimary
                    font.pixelSize: 15
                    font.weight: Font.DemiBold
                    Layout.fillWidth: true
                }
                IconButton {
                    objectName: "clearButton"
                    systemName: "trash"
                    help: "Clear this chat"
                    enabled: root.vm.messages.count > 0
                    opacity: enabled ? 1 : 0.35
                    onClicked: root.vm.clear()
                }
                IconButton {
                    systemName: "gearshape"
                    help: "Settings"
                    onClicked: root.openSettingsRequested()
                }
            }

            // Agent switcher
            Rectangle {
                id: switcher
                Layout.fillWidth: true
                Layout.preferredHeight: 36
                radius: 12
                color: root.withOpacity(Theme.panel, 0.7)
                border.color: Theme.stroke
                border.width: 1

                readonly property var agents: root.vm.agents
                readonly property int selectedIndex: {
                    for (let i = 0; i < agents.length; ++i)
                        if (agents[i].id === root.vm.selectedModel.id)
                            return i
                    return 0
                }
                readonly property real segmentWidth: width / Math.max(1, agents.length)

                Rectangle {
                    objectName: "switcherHighlight"
                    x: switcher.selectedIndex * switcher.segmentWidth + 3
                    y: 3
                    width: switcher.segmentWidth - 6
                    height: switcher.height - 6
                    radius: 9
                    color: root.withOpacity(root.accent, 0.2)
                    border.color: root.withOpacity(root.accent, 0.55)
                    border.width: 1
                    Behavior on x { NumberAnimation { duration: Theme.springDuration; easing: Theme.spring } }
                }

                Row {
                    anchors.fill: parent
                    Repeater {
                        model: switcher.agents
                        Item {
                            required property var modelData
                            required property int index
                            width: switcher.segmentWidth
                            height: switcher.height
                            Accessible.role: Accessible.Button
                            Accessible.name: modelData.displayName
                            Text {
                                anchors.centerIn: parent
                                text: modelData.displayName
                                font.pixelSize: 13
                                font.weight: Font.DemiBold
                                color: index === switcher.selectedIndex ? Theme.textPrimary : Theme.textSecondary
                            }
                            TapHandler { onTapped: root.vm.selectAgent(modelData.id) }
                        }
                    }
                }
            }

            ChatView {
                Layout.fillWidth: true
                Layout.fillHeight: true
                vm: root.vm
                accent: root.accent
            }

            // Engine status
            RowLayout {
                Layout.fillWidth: true
                spacing: 7
                Rectangle {
                    width: 6
                    height: 6
                    radius: 3
                    color: root.setup.engineReady ? Theme.ok : Theme.warn
                }
                Text {
                    objectName: "statusLabel"
                    text: PanelTexts.statusLabel(root.setup.ollama, root.setup.textInstalled)
                    color: Theme.textTertiary
                    font.pointSize: 11.5 * 0.75
                    font.weight: Font.Medium
                    Layout.fillWidth: true
                    elide: Text.ElideRight
                }
                Text {
                    visible: !root.setup.engineReady
                    text: "Set up"
                    color: root.accent
                    font.pointSize: 11.5 * 0.75
                    font.weight: Font.DemiBold
                    Accessible.role: Accessible.Button
                    Accessible.name: text
                    TapHandler { onTapped: root.openSetupRequested() }
                }
            }
        }
    }

    // The tab while collapsed: a glowing capsule in the agent's accent at the screen's edge.
    Item {
        objectName: "handle"
        x: root.width - Theme.bulgeWidth
        y: (root.height - 160) / 2
        width: Theme.bulgeWidth
        height: 160
        opacity: root.expanded ? 0 : 1
        visible: opacity > 0
        Behavior on opacity { NumberAnimation { duration: 100; easing.type: Easing.OutQuad } }

        Repeater {
            // The glow: wider, fainter capsules behind the handle.
            model: [9, 6, 3]
            Rectangle {
                required property int modelData
                x: parent.width - 3 - 7 - modelData
                y: 20 - modelData
                width: 7 + 2 * modelData
                height: 120 + 2 * modelData
                radius: width / 2
                color: root.withOpacity(root.accent, 0.65 * 0.18)
            }
        }
        Rectangle {
            x: parent.width - 3 - 7
            y: 20
            width: 7
            height: 120
            radius: 3.5
            border.color: Qt.rgba(1, 1, 1, 0.35)
            border.width: 0.75
            gradient: Gradient {
                GradientStop { position: 0; color: root.accent }
                GradientStop { position: 1; color: root.withOpacity(root.accent, 0.55) }
            }
        }
    }
}
