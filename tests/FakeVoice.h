#pragma once

// A stand-in for the system voice: remembers what it was asked to say, starts at once and ends
// after 50 ms, so speech output (and whatever follows isSpeaking) behaves as with real speech.

#include "SpeechSynthesizer.h"

#include <QStringList>
#include <QTimer>

class FakeVoice : public SpeechSynthesizer
{
public:
    QStringList said;

    void say(const QString &text) override
    {
        said << text;
        const int utterance = ++m_utterance;
        QTimer::singleShot(0, this, [this, utterance] {
            if (utterance == m_utterance)
                emit started();
        });
        QTimer::singleShot(50, this, [this, utterance] {
            if (utterance == m_utterance)
                emit finished();
        });
    }
    void stop() override { ++m_utterance; }

private:
    int m_utterance = 0;
};
