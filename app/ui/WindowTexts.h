#pragma once

#include "speech-engine/hub/NemotronDownloadProgress.h"

#include "app/workflow/records/AssistPhase.h"
#include "app/workflow/records/AudioDevice.h"
#include "app/workflow/records/CaptureApplication.h"
#include "app/workflow/records/LocalVoicePreset.h"

#include <QColor>
#include <QList>
#include <QString>
#include <optional>

// The display values the window derives from the workflow's state. Pure
// functions, recomputed on every change, so they are tested without a window.
namespace WindowTexts {

// The Korean label of a phase; idle reads "준비 중" while the caption model is being prepared.
QString phaseText(AssistPhase phase, bool isPreparing);
QColor phaseColor(AssistPhase phase);
bool isLivePhase(AssistPhase phase);
// The voice finished playing into the meeting but the workflow has not moved on.
bool sentAndDone(AssistPhase phase, bool isPlaying);

bool hasEnglishAnswer(const QString& approvedText);
// Some output device looks like a virtual microphone.
bool hasBlackHole(const QList<AudioDevice>& devices);
// The selected output device is a likely virtual microphone.
bool isVirtualMicrophoneSelected(const QList<AudioDevice>& devices,
                                 std::optional<quint32> selectedDeviceID);

struct StepInputs {
    bool hasEnglishAnswer = false;
    bool isTranslatingReply = false;
    AssistPhase phase = AssistPhase::idle;
    bool isListening = false;
    QString liveTranslation;
    QString transcript;
};
// The highlighted step, 0 to 2 (step number minus one).
int currentStep(const StepInputs& inputs);

QString listenSubtitle(bool isListening, const std::optional<CaptureApplication>& application);
// The percentage of the current stage, then the bytes and time left of a download, or the
// import under way.
QString modelStatusText(const std::optional<NemotronDownloadProgress>& modelProgress);
// The same for the Korean reply's model; empty when it is not being fetched.
QString koreanModelStatusText(const std::optional<NemotronDownloadProgress>& modelProgress);
QString englishCaptionText(const QString& transcript, bool isListening);
// How late the captions are, from two seconds on; empty while they keep up.
QString captionLagText(int lagSeconds);
// The audio skipped to bring late captions back to the meeting; empty when none was.
QString captionSkipText(int skippedSeconds);
QString elevenLabsStatusText(const QString& elevenLabsStatus);
// The Korean detail under a free voice's name.
QString voiceTileDetail(const LocalVoicePreset& preset);

// The shell command that makes the same virtual microphone the program creates itself.
QString virtualMicrophoneCommand();

} // namespace WindowTexts
