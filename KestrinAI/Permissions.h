#pragma once

#include <QObject>

#include <functional>

/// The state of one permission, in the program's common form.
enum class PermissionState { granted, notDetermined, denied };

inline bool isGranted(PermissionState state) { return state == PermissionState::granted; }

/// The voice (microphone plus speech recognition) and screen-recording permissions.
///
/// Linux asks no questions for these, so each is read from what the machine offers: the
/// microphone is granted when an audio input device exists and denied when none does; speech
/// recognition is granted when the recognizer's model files are installed and undecided
/// otherwise; screen recording is granted when the screen can be grabbed (an X11 session) and
/// undecided otherwise. The platform answers are injectable (Sources) so the rules can be tested.
namespace Permissions {

/// What the platform says of one authorisation.
enum class Authorization { authorized, notDetermined, restricted, denied };

struct Sources
{
    std::function<Authorization()> microphone;
    std::function<Authorization()> speech;
    std::function<bool()> screenAllowed;
    /// Ask the platform; each calls back once, possibly on another thread.
    std::function<void(std::function<void(bool)>)> requestSpeech;
    std::function<void(std::function<void(bool)>)> requestMicrophone;
};

/// The machine's own answers.
Sources platformSources();
/// Replaces the answers (tests); an empty Sources restores the platform's.
void setSources(const Sources &sources);

PermissionState fromAuthorization(Authorization authorization);

PermissionState microphone();
PermissionState speech();
/// Both granted: granted; either refused: denied; otherwise undecided.
PermissionState voice();
/// Granted when recording is allowed, otherwise undecided (a refusal cannot be told apart).
PermissionState screen();

/// Asks for speech recognition, then for the microphone, and calls @p completion once, on the
/// main thread and only while @p context (a main-thread object) lives, with true exactly when
/// both were granted.
void requestVoice(QObject *context, std::function<void(bool granted)> completion);

/// Opens the desktop's sound settings where one is found; does nothing otherwise.
void openVoiceSettings();

} // namespace Permissions
