#pragma once

#include <QString>

/// One transcript from a recognition task: the whole of what was recognized so far.
struct RecognitionResult
{
    /// Lower-case words separated by single spaces, no punctuation ("hey tarvik what time is
    /// it"). In wake-phrase mode it starts with the wake phrase that was heard.
    QString bestTranscription;
    /// The last result of its task: the utterance ended (the speaker paused, or the audio did).
    bool isFinal = false;

    friend bool operator==(const RecognitionResult &, const RecognitionResult &) = default;
};
