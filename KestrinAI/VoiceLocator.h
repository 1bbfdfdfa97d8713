#pragma once

#include <QString>

#include <optional>

/// An installed neural voice: what the server needs to run.
struct VoiceAssets
{
    QString python; ///< an executable Python interpreter with the kokoro-onnx package
    QString models; ///< a folder holding modelFile and voicesFile

    static constexpr auto modelFile = "kokoro-v1.0.onnx";
    static constexpr auto voicesFile = "voices-v1.0.bin";

    friend bool operator==(const VoiceAssets &, const VoiceAssets &) = default;
};

/// Finds the neural voice and its server script. No state, nothing cached: every call looks
/// at the disk again (a few stat calls), so an installation made while the program runs is
/// seen by the next call. Any thread.
namespace VoiceLocator {

/// The first installation that is complete, of:
///  1. `<voice folder>/venv/bin/python3` with the models in `<voice folder>/models`, the voice
///     folder being AppPaths::voiceDir();
///  2. `<desktop folder>/OrynSidebar/tts/bin/python3` with the models in
///     `<desktop folder>/OrynSidebar/kokoro_models`, the desktop folder as the user's XDG
///     settings name it (usually ~/Desktop).
/// Complete: the interpreter is an executable file and the folder holds both model files.
std::optional<VoiceAssets> find();

/// `kokoro_server.py`: beside the program (installed), in `../share/kestrin-ai/` from it, or in
/// the source tree's resources folder (a development build). Empty when none exists.
QString serverScript();

} // namespace VoiceLocator
