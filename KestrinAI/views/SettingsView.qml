import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import KestrinAI

// The settings window's content, bound straight to the settings store: a change is saved as it
// is made.
Rectangle {
    id: view
    objectName: "settingsView"

    /// Whether the neural voice's files were found when the window opened.
    required property bool neuralVoiceInstalled

    signal close()
    signal openSetup()

    width: 380
    height: 500
    radius: 14
    color: Theme.panel
    border.color: Theme.strokeStrong
    border.width: 1

    DragHandler {
        target: null
        onActiveChanged: if (active) view.Window.window.startSystemMove()
    }

    component SectionTitle: Text {
        Layout.fillWidth: true
        Layout.topMargin: 10
        color: Theme.textSecondary
        font.pixelSize: 11
        font.weight: Font.DemiBold
        font.capitalization: Font.AllUppercase
        font.letterSpacing: 0.8
    }

    component Label: Text {
        color: Theme.textPrimary
        font.pixelSize: 13
    }

    component Caption: Text {
        Layout.fillWidth: true
        color: Theme.textSecondary
        font.pointSize: 11.5 * 0.75
        wrapMode: Text.Wrap
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 8

        RowLayout {
            Layout.fillWidth: true
            Text {
                Layout.fillWidth: true
                text: "Settings"
                color: Theme.textPrimary
                font.pixelSize: 18
                font.weight: Font.Bold
            }
            IconButton {
                objectName: "closeButton"
                systemName: "xmark"
                help: "Close"
                onClicked: view.close()
            }
        }

        SectionTitle { text: "Voice" }
        RowLayout {
            Layout.fillWidth: true
            Label { Layout.fillWidth: true; text: "Neural voice" }
            ComboBox {
                id: voicePicker
                objectName: "voicePicker"
                Layout.preferredWidth: 130
                model: SettingsStore.availableKokoroVoices
                currentIndex: Math.max(0, model.indexOf(SettingsStore.kokoroVoice))
                onActivated: index => SettingsStore.kokoroVoice = model[index]
                font.pixelSize: 12
                palette.button: Theme.panelRaised
                palette.buttonText: Theme.textPrimary
                palette.window: Theme.panelRaised
                palette.windowText: Theme.textPrimary
                palette.text: Theme.textPrimary
                palette.base: Theme.panelRaised
                palette.highlight: Theme.brand
                palette.highlightedText: Theme.ink
                palette.light: Theme.panelHover
                palette.mid: Theme.stroke
                palette.dark: Theme.strokeStrong
                // Our own mark: the style's picture-based one is also left behind by Qt when
                // the window goes (a small leak per window).
                indicator: Symbol {
                    name: "chevron.up.chevron.down"
                    size: 12
                    color: Theme.textSecondary
                    x: voicePicker.width - width - 8
                    y: (voicePicker.height - height) / 2
                }
            }
        }
        Caption {
            objectName: "voiceCaption"
            text: view.neuralVoiceInstalled
                  ? "Used for Tarvik and spoken replies."
                  : "Not installed, so spoken replies use the system voice. See the README to add the neural voice."
        }

        SectionTitle { text: "Wake words" }
        RowLayout {
            Layout.fillWidth: true
            Label { Layout.fillWidth: true; text: "Wait for a command" }
            Text {
                objectName: "timeoutValue"
                text: Math.round(SettingsStore.wakeWordCommandTimeout) + " seconds"
                color: Theme.textSecondary
                font.pixelSize: 12
            }
        }
        Slider {
            id: timeout
            objectName: "timeoutSlider"
            Layout.fillWidth: true
            from: 3
            to: 15
            stepSize: 1
            snapMode: Slider.SnapAlways
            value: SettingsStore.wakeWordCommandTimeout
            onMoved: SettingsStore.wakeWordCommandTimeout = value
            palette.dark: Theme.brand
            palette.midlight: Theme.stroke
            palette.light: Theme.textPrimary
        }
        Caption { text: "How long to listen for your request after you say just the name." }

        SectionTitle { text: "Safety" }
        Switch {
            id: shellSwitch
            objectName: "shellToggle"
            Layout.fillWidth: true
            text: "Let Tarvik run shell commands"
            leftPadding: 0
            checked: SettingsStore.shellCommandsEnabled
            onToggled: SettingsStore.shellCommandsEnabled = checked
            indicator: Rectangle {
                x: shellSwitch.width - width
                anchors.verticalCenter: parent.verticalCenter
                implicitWidth: 36
                implicitHeight: 20
                radius: 10
                color: shellSwitch.checked ? Theme.brand : Theme.panelHover
                border.color: Theme.strokeStrong
                Rectangle {
                    x: shellSwitch.checked ? parent.width - width - 2 : 2
                    anchors.verticalCenter: parent.verticalCenter
                    width: 16
                    height: 16
                    radius: 8
                    color: Theme.textPrimary
                    Behavior on x { NumberAnimation { duration: 120 } }
                }
            }
            contentItem: Text {
                text: shellSwitch.text
                color: Theme.textPrimary
                font.pixelSize: 13
                verticalAlignment: Text.AlignVCenter
                rightPadding: shellSwitch.indicator.width + 8
            }
        }
        Caption { text: "Only when you say \u201Crun\u201D first, and every command is shown for approval before it runs." }

        SectionTitle { text: "Engine" }
        RowLayout {
            Layout.fillWidth: true
            Caption { text: "Ollama, the two models, and permissions." }
            AbstractButton {
                id: checkSetup
                objectName: "checkSetupButton"
                implicitWidth: checkLabel.implicitWidth + 24
                implicitHeight: checkLabel.implicitHeight + 10
                text: "Check setup"
                contentItem: Text {
                    id: checkLabel
                    text: checkSetup.text
                    color: Theme.textPrimary
                    font.pointSize: 11.5 * 0.75
                    font.weight: Font.DemiBold
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
                background: Rectangle {
                    radius: height / 2
                    color: checkSetup.hovered ? Theme.panelHover : Theme.panelRaised
                    border.color: Theme.strokeStrong
                }
                onClicked: view.openSetup()
            }
        }

        Item { Layout.fillHeight: true }
    }
}
