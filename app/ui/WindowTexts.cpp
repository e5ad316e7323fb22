#include "app/ui/WindowTexts.h"

#include "app/ui/Theme.h"

#include <QLocale>

#include <algorithm>

namespace WindowTexts {

QString phaseText(AssistPhase phase, bool isPreparing) {
    switch (phase) {
    case AssistPhase::idle:
        return isPreparing ? QStringLiteral("준비 중") : QStringLiteral("준비됐어요");
    case AssistPhase::listening:
        return QStringLiteral("상대방 말 듣는 중");
    case AssistPhase::speakingKorean:
        return QStringLiteral("내 한국어 듣는 중");
    case AssistPhase::translatingReply:
        return QStringLiteral("영어로 바꾸는 중");
    case AssistPhase::readyToSend:
        return QStringLiteral("보낼 준비 완료");
    case AssistPhase::playing:
        return QStringLiteral("회의로 보내는 중");
    case AssistPhase::error:
        return QStringLiteral("확인이 필요해요");
    }
    return {};
}

QColor phaseColor(AssistPhase phase) {
    switch (phase) {
    case AssistPhase::idle:
        return Theme::faded(Theme::ink3, 0.6);
    case AssistPhase::listening:
    case AssistPhase::speakingKorean:
        return Theme::live;
    case AssistPhase::translatingReply:
    case AssistPhase::readyToSend:
        return Theme::blue;
    case AssistPhase::playing:
        return Theme::sending;
    case AssistPhase::error:
        return Theme::amber;
    }
    return {};
}

bool isLivePhase(AssistPhase phase) {
    return phase == AssistPhase::listening || phase == AssistPhase::speakingKorean ||
           phase == AssistPhase::playing;
}

bool sentAndDone(AssistPhase phase, bool isPlaying) {
    return phase == AssistPhase::playing && !isPlaying;
}

bool hasEnglishAnswer(const QString& approvedText) {
    return !approvedText.trimmed().isEmpty();
}

bool hasBlackHole(const QList<AudioDevice>& devices) {
    return std::any_of(devices.begin(), devices.end(), [](const AudioDevice& device) {
        return device.isLikelyVirtualMicrophone();
    });
}

bool isVirtualMicrophoneSelected(const QList<AudioDevice>& devices,
                                 std::optional<quint32> selectedDeviceID) {
    return selectedDeviceID &&
           std::any_of(devices.begin(), devices.end(), [&](const AudioDevice& device) {
               return device.id == *selectedDeviceID && device.isLikelyVirtualMicrophone();
           });
}

int currentStep(const StepInputs& inputs) {
    if (inputs.hasEnglishAnswer || inputs.isTranslatingReply)
        return 2;
    if (inputs.phase == AssistPhase::speakingKorean || inputs.isListening ||
        !inputs.liveTranslation.isEmpty() || !inputs.transcript.isEmpty())
        return 1;
    return 0;
}

QString listenSubtitle(bool isListening, const std::optional<CaptureApplication>& application) {
    if (!isListening)
        return QStringLiteral("영어로 들은 말을 한국어로 바로 보여드려요");
    const QString name = application ? application->title : QString();
    return name + QStringLiteral(" 소리만 듣고 있어요 · 저장하지 않아요");
}

namespace {

QString progressText(const QString& preparing,
                     const std::optional<NemotronDownloadProgress>& modelProgress) {
    if (!modelProgress || !(modelProgress->fractionCompleted > 0))
        return preparing + QStringLiteral("…");
    auto text =
        preparing + QStringLiteral(" %1%").arg(qint64(modelProgress->fractionCompleted * 100));
    if (modelProgress->stage == NemotronDownloadProgress::Stage::importing)
        return text + QStringLiteral(" · 모델 변환 중");
    if (modelProgress->bytesTotal > 0) {
        const auto size = [](qint64 bytes) {
            return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
        };
        text += QStringLiteral(" · %1 / %2")
                    .arg(size(modelProgress->bytesReceived), size(modelProgress->bytesTotal));
    }
    if (const auto left = modelProgress->timeLeft) {
        text += left->count() < 60
                    ? QStringLiteral(" · 약 %1초 남음").arg(left->count())
                    : QStringLiteral(" · 약 %1분 남음").arg((left->count() + 59) / 60);
    }
    return text;
}

} // namespace

QString modelStatusText(const std::optional<NemotronDownloadProgress>& modelProgress) {
    return progressText(QStringLiteral("영어 자막 준비 중"), modelProgress);
}

QString koreanModelStatusText(const std::optional<NemotronDownloadProgress>& modelProgress) {
    if (!modelProgress)
        return {};
    return progressText(QStringLiteral("한국어 인식 모델 받는 중"), modelProgress);
}

QString englishCaptionText(const QString& transcript, bool isListening) {
    if (!transcript.isEmpty())
        return transcript;
    return isListening ? QStringLiteral("영어가 들리면 여기에 바로 나와요…")
                       : QStringLiteral("상대방의 영어가 여기에 실시간으로 나와요.");
}

QString captionLagText(int lagSeconds) {
    return lagSeconds >= 2 ? QStringLiteral("자막이 %1초 늦어요").arg(lagSeconds) : QString();
}

QString captionSkipText(int skippedSeconds) {
    return skippedSeconds > 0
               ? QStringLiteral(
                     "자막이 너무 늦어져서 밀린 %1초를 건너뛰고 지금 말부터 보여 드려요.")
                     .arg(skippedSeconds)
               : QString();
}

QString elevenLabsStatusText(const QString& status) {
    static const QString connected = QStringLiteral("Connected securely. Output voice: ");
    if (status.startsWith(QStringLiteral("Add your API key")))
        return QStringLiteral("API 키를 넣으면 내 ElevenLabs 목소리를 쓸 수 있어요.");
    if (status.startsWith(QStringLiteral("Loading your ElevenLabs voices")))
        return QStringLiteral("목소리를 불러오는 중이에요…");
    if (status.startsWith(connected)) {
        QString voice = status.mid(connected.size());
        while (voice.startsWith(u'.'))
            voice.remove(0, 1);
        while (voice.endsWith(u'.'))
            voice.chop(1);
        return QStringLiteral("연결됐어요 · ") + voice;
    }
    if (status.startsWith(QStringLiteral("Connected, but no")))
        return QStringLiteral("연결됐지만 쓸 수 있는 목소리가 없어요.");
    if (status.startsWith(QStringLiteral("ElevenLabs API key removed")))
        return QStringLiteral("키링에서 API 키를 지웠어요.");
    if (status.startsWith(QStringLiteral("Enter an ElevenLabs API key")))
        return QStringLiteral("API 키를 먼저 넣어 주세요.");
    return status;
}

QString voiceTileDetail(const LocalVoicePreset& preset) {
    if (preset.id == QStringLiteral("samantha"))
        return QStringLiteral("여성 · 미국 영어");
    if (preset.id == QStringLiteral("daniel"))
        return QStringLiteral("남성 · 영국 영어");
    return preset.label;
}

QString virtualMicrophoneCommand() {
    // The same sink and microphone source the audio layer creates.
    return QStringLiteral(
        "pactl load-module module-null-sink sink_name=relayo_virtual_microphone "
        "sink_properties='device.description=\"Relayo Virtual Microphone\"' && "
        "pactl load-module module-remap-source source_name=relayo_virtual_microphone_input "
        "master=relayo_virtual_microphone.monitor "
        "source_properties='device.description=\"Relayo Virtual Microphone Input\"'");
}

} // namespace WindowTexts
