import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import KestrinAI

// The setup window's content: the engine and the two models, then voice and screen access, each
// row with its mark and the button that fixes it. The rows come from C++ (SetupRowList); this
// file only lays them out.
Rectangle {
    id: view
    objectName: "setupView"

    required property SetupModel model
    required property SetupRowList engineRows
    required property SetupRowList accessRows

    /// The bottom button: the controller records that setup was seen and closes the window.
    signal done()

    width: 500
    height: 600
    radius: 14
    color: Theme.panel
    border.color: Theme.strokeStrong
    border.width: 1

    // Frameless: the background moves the window.
    DragHandler {
        target: null
        onActiveChanged: if (active) view.Window.window.startSystemMove()
    }

    component StatusMark: Item {
        id: mark
        property string status
        width: 22
        height: 22

        // "working": a small spinning arc.
        Item {
            objectName: "spinner"
            anchors.centerIn: parent
            width: 16
            height: 16
            visible: mark.status === "working"
            Canvas {
                anchors.fill: parent
                onPaint: {
                    const ctx = getContext("2d");
                    ctx.reset();
                    ctx.lineWidth = 2;
                    ctx.lineCap = "round";
                    ctx.strokeStyle = Theme.textSecondary;
                    ctx.beginPath();
                    ctx.arc(8, 8, 6.5, 0, Math.PI * 1.5);
                    ctx.stroke();
                }
            }
            RotationAnimator on rotation {
                from: 0
                to: 360
                duration: 900
                loops: Animation.Infinite
                running: mark.status === "working" && mark.visible
            }
        }

        Symbol {
            objectName: "symbol"
            anchors.centerIn: parent
            size: 20
            visible: mark.status !== "working"
            name: mark.status === "ok" ? "checkmark.circle.fill"
                : mark.status === "warn" ? "exclamationmark.circle.fill" : "circle"
            color: mark.status === "ok" ? Theme.ok : mark.status === "warn" ? Theme.warn : Theme.textTertiary
        }
    }

    component CapsuleButton: AbstractButton {
        id: button
        implicitWidth: label.implicitWidth + 24
        implicitHeight: label.implicitHeight + 10
        contentItem: Text {
            id: label
            text: button.text
            color: Theme.textPrimary
            font.pointSize: 11.5 * 0.75
            font.weight: Font.DemiBold
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
        }
        background: Rectangle {
            radius: height / 2
            color: Qt.rgba(Theme.brand.r, Theme.brand.g, Theme.brand.b, button.down ? 0.32 : button.hovered ? 0.28 : 0.22)
            border.color: Qt.rgba(Theme.brand.r, Theme.brand.g, Theme.brand.b, 0.5)
            border.width: 1
        }
    }

    component SectionTitle: Text {
        Layout.fillWidth: true
        Layout.topMargin: 6
        color: Theme.textSecondary
        font.pixelSize: 11
        font.weight: Font.DemiBold
        font.capitalization: Font.AllUppercase
        font.letterSpacing: 0.8
    }

    component RowCard: Rectangle {
        id: card
        required property SetupRowList rows
        required property int index
        required property string title
        required property string detail
        required property string status
        required property real fraction
        required property string actionTitle

        objectName: "setupRow:" + title
        Layout.fillWidth: true
        implicitHeight: content.implicitHeight + 20
        radius: 10
        color: Theme.panelRaised
        border.color: Theme.stroke

        RowLayout {
            id: content
            anchors.fill: parent
            anchors.margins: 10
            spacing: 10

            StatusMark {
                objectName: "mark"
                Layout.alignment: Qt.AlignTop
                status: card.status
            }

            ColumnLayout {
                Layout.fillWidth: true
                spacing: 3
                Text {
                    Layout.fillWidth: true
                    text: card.title
                    color: Theme.textPrimary
                    font.pixelSize: 13
                    font.weight: Font.DemiBold
                }
                Text {
                    objectName: "detail"
                    Layout.fillWidth: true
                    text: card.detail
                    color: Theme.textSecondary
                    font.pointSize: 11.5 * 0.75
                    wrapMode: Text.Wrap
                }
                // The download's share of the layers announced so far.
                Rectangle {
                    objectName: "progressBar"
                    visible: card.status === "working" && card.fraction >= 0
                    Layout.fillWidth: true
                    Layout.topMargin: 4
                    implicitHeight: 3
                    radius: 1.5
                    color: Theme.stroke
                    Rectangle {
                        objectName: "progressFill"
                        width: parent.width * Math.max(0, Math.min(1, card.fraction))
                        height: parent.height
                        radius: parent.radius
                        color: Theme.brand
                    }
                }
            }

            CapsuleButton {
                objectName: "action"
                visible: card.actionTitle !== ""
                Layout.alignment: Qt.AlignVCenter
                text: card.actionTitle
                onClicked: card.rows.activate(card.index)
            }
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 24
        spacing: 10

        RowLayout {
            spacing: 14
            KestrinMark {
                Layout.preferredWidth: 38
                Layout.preferredHeight: 38 * 23 / 27
            }
            ColumnLayout {
                spacing: 2
                Text {
                    text: "Set up Kestrin AI"
                    color: Theme.textPrimary
                    font.pixelSize: 20
                    font.weight: Font.Bold
                }
                Text {
                    text: "Everything runs on your computer. Nothing is sent anywhere."
                    color: Theme.textSecondary
                    font.pixelSize: 12
                }
            }
        }

        SectionTitle { text: "Engine" }
        Repeater {
            model: view.engineRows
            delegate: RowCard { rows: view.engineRows }
        }

        Text {
            objectName: "pullError"
            visible: view.model.pullError !== ""
            Layout.fillWidth: true
            text: view.model.pullError
            color: Theme.bad
            font.pointSize: 11.5 * 0.75
            wrapMode: Text.Wrap
        }

        SectionTitle { text: "Access (optional)" }
        Repeater {
            model: view.accessRows
            delegate: RowCard { rows: view.accessRows }
        }

        Text {
            Layout.fillWidth: true
            text: "Chat works without voice or screen access."
            color: Theme.textTertiary
            font.pointSize: 11.5 * 0.75
        }

        Item { Layout.fillHeight: true }

        AbstractButton {
            id: doneButton
            objectName: "doneButton"
            Layout.fillWidth: true
            implicitHeight: 36
            text: view.model.engineReady ? "Start using Kestrin AI" : "Close"
            contentItem: Text {
                text: doneButton.text
                color: view.model.engineReady ? Theme.ink : Theme.textPrimary
                font.pixelSize: 13
                font.weight: Font.DemiBold
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
            }
            background: Rectangle {
                radius: 9
                color: view.model.engineReady ? (doneButton.down ? Qt.darker(Theme.brand, 1.15) : Theme.brand)
                                              : (doneButton.hovered ? Theme.panelHover : Theme.panelRaised)
                border.color: Theme.strokeStrong
            }
            onClicked: view.done()
        }
    }
}
