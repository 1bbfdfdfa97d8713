#pragma once

#include "DialogWindow.h"

#include <QObject>

class QQuickView;
class SetupModel;
class UserDefaults;

/// The setup window: whether the engine runs, the two models (with their downloads), the voice
/// and screen access, each with the action that fixes it (views/SetupView.qml over two
/// SetupRowList sections). One window at a time, 500 x 600.
///
/// Its bottom button sets "didSeeSetup", which decides whether the window opens at launch, and
/// closes it. Thread: main.
class SetupWindowController : public QObject
{
    Q_OBJECT

public:
    static constexpr QSize windowSize{500, 600};

    /// "didSeeSetup" goes to @p defaults (nullptr: UserDefaults::standard()), which must outlive
    /// the controller.
    explicit SetupWindowController(UserDefaults *defaults = nullptr, QObject *parent = nullptr);
    ~SetupWindowController() override;

    /// Shows @p model, which must outlive the window; a window already shown comes to the front.
    void show(SetupModel *model);
    void hide();

    /// The window being shown, else nullptr.
    QQuickView *window() const { return m_dialog.window(); }

private slots:
    void done();

private:
    UserDefaults *m_defaults;
    DialogWindow m_dialog;
};
