#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <memory>

class QQuickView;

/// One small window the user works in (setup, settings): at most one at a time, centred on the
/// screen under the pointer, brought to the front and given the keyboard, faded in over 0.2 s.
/// Hiding forgets the window at once, so the next show() builds a fresh one, and fades the old
/// one out over 0.18 s before it is unmapped and deleted.
///
/// Like the other floating windows it is frameless, translucent, above other windows and out of
/// the taskbar; its view moves it with a drag on its background (startSystemMove).
/// Thread: main.
class DialogWindow : public QObject
{
    Q_OBJECT

public:
    static constexpr int showFadeMs = 200;
    static constexpr int hideFadeMs = 180;
    /// Where a window goes when there is no screen at all.
    static constexpr QRect fallbackFrame{0, 0, 1440, 900};

    DialogWindow(const QString &name, const QUrl &source, QSize size, QObject *parent = nullptr);
    ~DialogWindow() override;

    /// The window being shown; nullptr when hidden (a window fading out is no longer it).
    QQuickView *window() const { return m_window.get(); }

    /// Brings the shown window to the front, or makes one with @p initialProperties and hands it
    /// to @p onCreated before it is shown. @return false when the view could not be made.
    bool show(const QVariantMap &initialProperties, const std::function<void(QQuickView *)> &onCreated = {});
    void hide();

    /// The usable area of the screen under the pointer, else the primary screen's, else
    /// fallbackFrame.
    static QRect frameUnderPointer();
    /// @p size centred in @p frame.
    static QRect centred(const QRect &frame, QSize size);

private:
    void bringToFront();

    QString m_name;
    QUrl m_source;
    QSize m_size;
    std::unique_ptr<QQuickView> m_window;
    QList<QPointer<QQuickView>> m_closing; // fading out; deleted when done or with this
};
