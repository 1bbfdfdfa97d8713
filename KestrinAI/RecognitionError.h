#pragma once

#include <QString>

/// Why a recognition task ended without a final transcript.
struct RecognitionError
{
    enum class Code {
        /// The audio ended before anything was recognized (or before a wake phrase was heard).
        noSpeech,
        /// The speech model could not be loaded or used.
        modelUnavailable,
    };

    Code code = Code::noSpeech;
    /// One sentence for the log, in English.
    QString description;

    friend bool operator==(const RecognitionError &, const RecognitionError &) = default;
};
