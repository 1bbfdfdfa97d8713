#include "SetupWindowController.h"

#include "Orchestrator.h"
#include "SetupModel.h"
#include "SetupRows.h"
#include "UserDefaults.h"

#include <QQuickItem>
#include <QQuickView>

SetupWindowController::SetupWindowController(UserDefaults *defaults, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults ? defaults : &UserDefaults::standard())
    , m_dialog(QStringLiteral("Set up Kestrin AI"), QUrl(QStringLiteral("qrc:/KestrinAI/views/SetupView.qml")),
               windowSize)
{
}

SetupWindowController::~SetupWindowController() = default;

void SetupWindowController::show(SetupModel *model)
{
    if (m_dialog.window()) {
        m_dialog.show({});
        return;
    }
    // The sections belong to the window: they go with it.
    auto engineRows = std::make_unique<SetupRowList>(model, SetupRowList::Section::engine);
    auto accessRows = std::make_unique<SetupRowList>(model, SetupRowList::Section::access);
    const bool shown = m_dialog.show({{QStringLiteral("model"), QVariant::fromValue(model)},
                                      {QStringLiteral("engineRows"), QVariant::fromValue(engineRows.get())},
                                      {QStringLiteral("accessRows"), QVariant::fromValue(accessRows.get())}},
                                     [&](QQuickView *view) {
                                         engineRows.release()->setParent(view);
                                         accessRows.release()->setParent(view);
                                         connect(view->rootObject(), SIGNAL(done()), this, SLOT(done()));
                                     });
    if (shown)
        model->refresh(); // once on appearing; the rows follow the model afterwards
}

void SetupWindowController::hide()
{
    m_dialog.hide();
}

void SetupWindowController::done()
{
    m_defaults->set(Orchestrator::didSeeSetupKey, true);
    hide();
}
