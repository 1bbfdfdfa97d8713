#include "SettingsWindowController.h"

#include "VoiceLocator.h"

#include <QQuickItem>
#include <QQuickView>

SettingsWindowController::SettingsWindowController(QObject *parent)
    : QObject(parent)
    , m_dialog(QStringLiteral("Settings"), QUrl(QStringLiteral("qrc:/KestrinAI/views/SettingsView.qml")), windowSize)
{
}

SettingsWindowController::~SettingsWindowController() = default;

void SettingsWindowController::show(std::function<void()> onOpenSetup)
{
    m_onOpenSetup = std::move(onOpenSetup);
    // Looked up on each opening, so a voice installed meanwhile is found.
    m_dialog.show({{QStringLiteral("neuralVoiceInstalled"), VoiceLocator::find().has_value()}},
                  [this](QQuickView *view) {
                      connect(view->rootObject(), SIGNAL(close()), this, SLOT(hide()));
                      connect(view->rootObject(), SIGNAL(openSetup()), this, SLOT(openSetup()));
                  });
}

void SettingsWindowController::hide()
{
    m_dialog.hide();
}

void SettingsWindowController::openSetup()
{
    hide();
    if (m_onOpenSetup)
        m_onOpenSetup();
}
