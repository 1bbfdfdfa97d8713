#pragma once

#include <QObject>
#include <QString>

/// A speech synthesizer that speaks text aloud by itself: the seam between SpeechOutput and
/// the system voice, so that tests can stand in for the system's speech service.
///
/// Contract: say() returns at once; started() follows when sound begins and finished() when
/// the utterance ended, was cancelled or failed. A new say() replaces the utterance in
/// progress. After stop() no started() or finished() of an earlier utterance is emitted.
/// Thread: the owner's (main); signals arrive there.
class SpeechSynthesizer : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    /// Gets ready to speak soon (for example loads the voice); optional.
    virtual void prepare() {}
    virtual void say(const QString &text) = 0;
    /// Stops the current utterance at once and drops one that has not begun.
    virtual void stop() = 0;

signals:
    void started();
    void finished();
};
