#pragma once

#include "DialogWindow.h"

#include <QObject>

#include <functional>

class QQuickView;

/// The settings window (views/SettingsView.qml, 380 x 500): the neural voice, how long to wait
/// for a command after a bare wake word, whether Tarvik may run shell commands, and a way back
/// to the setup window. It edits SettingsStore::shared() directly. One window at a time.
/// Thread: main.
class SettingsWindowController : public QObject
{
    Q_OBJECT

public:
    static constexpr QSize windowSize{380, 500};

    explicit SettingsWindowController(QObject *parent = nullptr);
    ~SettingsWindowController() override;

    /// Shows the window, or brings it to the front. Its "Check setup" button hides it and then
    /// calls @p onOpenSetup.
    void show(std::function<void()> onOpenSetup);

public slots:
    void hide();

public:

    /// The window being shown, else nullptr.
    QQuickView *window() const { return m_dialog.window(); }

private slots:
    void openSetup();

private:
    DialogWindow m_dialog;
    std::function<void()> m_onOpenSetup;
};
