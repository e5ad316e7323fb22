#include "app/workflow/AppViewModel.h"

#include "app/core/Observable.h"
#include "app/core/ServiceError.h"

#include <QFileInfo>

void AppViewModel::startKoreanReply() {
    dropReplyInFlight();
    m_services.audioOutput->stop();
    assign(this, m_koreanReply, QString(), &AppViewModel::koreanReplyChanged);
    setApprovedText(QString());
    assign(this, m_synthesizedURL, std::nullopt, &AppViewModel::synthesizedURLChanged);
    setPreviewFailure(QString());
    try {
        m_services.koreanSpeech->startMicrophone();
    } catch (const std::exception& error) {
        fail(describe(error));
        return;
    }
    assign(this, m_phase, AssistPhase::speakingKorean, &AppViewModel::phaseChanged);
    assign(this, m_statusMessage,
           QStringLiteral("한국어로 답하세요. 말이 끝나면 ‘말하기 완료’를 누르세요. 아직 "
                          "상대방에게 전송되지 않습니다."),
           &AppViewModel::statusMessageChanged);
}

// Back to what the captions are doing: a cancelled reply leaves listening as it was.
void AppViewModel::cancelKoreanReply() {
    dropReplyInFlight();
    m_services.koreanSpeech->stop();
    assign(this, m_phase, m_isCapturing ? AssistPhase::listening : AssistPhase::idle,
           &AppViewModel::phaseChanged);
    assign(this, m_statusMessage, QStringLiteral("한국어 답변 녹음을 취소했습니다."),
           &AppViewModel::statusMessageChanged);
}

// The recognition, translation or voice of the reply before ends without a trace.
void AppViewModel::dropReplyInFlight() {
    ++m_replyRun;
    assign(this, m_isTranslatingReply, false, &AppViewModel::isTranslatingReplyChanged);
    assign(this, m_isGeneratingVoice, false, &AppViewModel::isGeneratingVoiceChanged);
}

// The text translated is the reply's whole text, the words the recognizer decodes only at the
// end included, and is what the window shows. A reply cancelled or started anew meanwhile
// takes its place: this one's results are dropped.
QCoro::Task<> AppViewModel::finishKoreanReply() {
    const qint64 replyRun = m_replyRun;
    assign(this, m_phase, AssistPhase::translatingReply, &AppViewModel::phaseChanged);
    assign(this, m_isTranslatingReply, true, &AppViewModel::isTranslatingReplyChanged);
    assign(this, m_statusMessage,
           m_services.koreanSpeech->modelProgress()
               ? QStringLiteral("한국어 인식 모델을 받고 있어요. 받는 대로 방금 한 말을 "
                                "인식해요.")
               : QStringLiteral("한국어 답변을 자연스러운 영어로 번역하고 있습니다…"),
           &AppViewModel::statusMessageChanged);

    QPointer self(this);
    const auto isCurrent = [&self, replyRun] { return self && self->m_replyRun == replyRun; };
    QString english;
    std::optional<QString> failure;
    try {
        const QString korean = (co_await m_services.koreanSpeech->finish()).trimmed();
        if (!isCurrent())
            co_return;
        assign(this, m_koreanReply, korean, &AppViewModel::koreanReplyChanged);
        if (korean.isEmpty())
            throw ServiceError(
                QStringLiteral("한국어 답변을 인식하지 못했습니다. 다시 말해 주세요."));
        english = co_await translateReply(korean);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (!isCurrent())
        co_return;
    if (failure) {
        fail(*failure);
        assign(this, m_isTranslatingReply, false, &AppViewModel::isTranslatingReplyChanged);
        co_return;
    }
    setApprovedText(english);
    assign(this, m_synthesizedURL, std::nullopt, &AppViewModel::synthesizedURLChanged);
    assign(this, m_statusMessage,
           QStringLiteral("영어 번역을 확인하세요. 내 목소리로 미리 듣거나 회의로 보낼 수 "
                          "있습니다."),
           &AppViewModel::statusMessageChanged);
    co_await generateApprovedVoice();
    if (!isCurrent())
        co_return;
    assign(this, m_isTranslatingReply, false, &AppViewModel::isTranslatingReplyChanged);
}

// The English fills the answer field as it arrives; a translation that fails leaves no part of
// itself there to be sent.
QCoro::Task<QString> AppViewModel::translateReply(QString korean) {
    QPointer self(this);
    assign(this, m_isReceivingReply, true, &AppViewModel::isReceivingReplyChanged);
    const auto showDraft = [self](const QString& partial) {
        if (self)
            self->setApprovedText(partial);
    };
    std::optional<QString> english;
    std::exception_ptr failure;
    try {
        english = co_await m_services.nebius->translateToEnglish(korean, {}, showDraft);
    } catch (...) {
        failure = std::current_exception();
    }
    if (self) {
        assign(self.data(), self->m_isReceivingReply, false,
               &AppViewModel::isReceivingReplyChanged);
        if (failure)
            self->setApprovedText(QString());
    }
    if (failure)
        std::rethrow_exception(failure);
    co_return *english;
}

QCoro::Task<bool> AppViewModel::generateApprovedVoice() {
    const QString text = m_approvedText.trimmed();
    if (text.isEmpty()) {
        fail(QStringLiteral("Choose or write an English answer first."));
        co_return false;
    }
    if (m_isGeneratingVoice)
        co_return false;

    QPointer self(this);
    const auto voice = co_await chooseVoice();
    // Another request may have started generating while the key was read.
    if (!self || !voice || m_isGeneratingVoice)
        co_return false;
    if (reuseGeneratedAudio(text, voice->key()))
        co_return true;
    co_return co_await synthesizeVoice(text, *voice);
}

// Without an ElevenLabs key or voice there is no choice, and the failure is shown.
QCoro::Task<std::optional<AppViewModel::VoiceChoice>> AppViewModel::chooseVoice() {
    VoiceChoice choice{selectedLocalVoice(), std::nullopt, QString()};
    if (m_voiceSource != VoiceSource::elevenLabs)
        co_return choice;
    QPointer self(this);
    const auto apiKey = co_await m_services.keychain->loadAPIKey();
    if (!self)
        co_return std::nullopt;
    choice.elevenLabsVoice = selectedElevenLabsVoice();
    if (!apiKey || !choice.elevenLabsVoice) {
        fail(QStringLiteral(
            "Connect ElevenLabs and select a voice, or switch to a free local voice."));
        co_return std::nullopt;
    }
    choice.apiKey = *apiKey;
    co_return choice;
}

QString AppViewModel::VoiceChoice::key() const {
    return elevenLabsVoice ? QStringLiteral("elevenlabs:") + elevenLabsVoice->voiceID
                           : QStringLiteral("local:") + localVoice.systemName;
}

QString AppViewModel::VoiceChoice::progress() const {
    return elevenLabsVoice ? QStringLiteral("Generating with your ElevenLabs voice ‘") +
                                 elevenLabsVoice->name + QStringLiteral("’…")
                           : QStringLiteral("Generating with the free local voice ‘") +
                                 localVoice.label + QStringLiteral("’…");
}

bool AppViewModel::reuseGeneratedAudio(const QString& text, const QString& voiceKey) {
    if (!m_synthesizedURL || m_cachedVoiceText != text || m_cachedVoiceKey != voiceKey ||
        !QFileInfo::exists(m_synthesizedURL->toLocalFile()))
        return false;
    assign(this, m_phase, AssistPhase::readyToSend, &AppViewModel::phaseChanged);
    assign(this, m_statusMessage,
           QStringLiteral("Reusing the already generated audio. No additional voice "
                          "generation was charged."),
           &AppViewModel::statusMessageChanged);
    return true;
}

QCoro::Task<bool> AppViewModel::synthesizeVoice(QString text, VoiceChoice voice) {
    QPointer self(this);
    const qint64 replyRun = m_replyRun;
    assign(this, m_isGeneratingVoice, true, &AppViewModel::isGeneratingVoiceChanged);
    assign(this, m_statusMessage, voice.progress(), &AppViewModel::statusMessageChanged);
    QUrl file;
    std::optional<QString> failure;
    try {
        // Not one ?: expression: GCC 12 destroys the result of a co_await inside ?: twice.
        if (voice.elevenLabsVoice)
            file = co_await m_services.elevenLabs->synthesize(text, voice.elevenLabsVoice->voiceID,
                                                              voice.apiKey);
        else
            file = co_await m_services.audioOutput->synthesize(text, voice.localVoice.systemName);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    // A new reply has cleared the answer this voice was for.
    if (!self || replyRun != m_replyRun)
        co_return false;
    if (failure) {
        fail(*failure);
        assign(this, m_isGeneratingVoice, false, &AppViewModel::isGeneratingVoiceChanged);
        co_return false;
    }
    assign(this, m_synthesizedURL, file, &AppViewModel::synthesizedURLChanged);
    m_cachedVoiceText = text;
    m_cachedVoiceKey = voice.key();
    assign(this, m_phase, AssistPhase::readyToSend, &AppViewModel::phaseChanged);
    assign(this, m_statusMessage,
           QStringLiteral("Generated with ") + activeVoiceName() +
               QStringLiteral(". Preview it or send it to the meeting."),
           &AppViewModel::statusMessageChanged);
    assign(this, m_isGeneratingVoice, false, &AppViewModel::isGeneratingVoiceChanged);
    co_return true;
}

// A preview never moves the phase: its failure, now or once playing, is shown on its own.
void AppViewModel::preview() {
    if (!m_synthesizedURL)
        return;
    setPreviewFailure(QString());
    try {
        m_services.audioOutput->play(*m_synthesizedURL, std::nullopt);
    } catch (const std::exception& error) {
        setPreviewFailure(describe(error));
        return;
    }
    m_isPreviewing = true;
    assign(this, m_statusMessage,
           QStringLiteral("Playing through this computer's current speaker output."),
           &AppViewModel::statusMessageChanged);
}

void AppViewModel::playbackFailed(const QString& message) {
    if (m_isPreviewing)
        setPreviewFailure(message);
    else
        fail(message);
}

void AppViewModel::setPreviewFailure(const QString& failure) {
    assign(this, m_previewFailure, failure, &AppViewModel::previewFailureChanged);
}

void AppViewModel::sendToMeeting() {
    const auto deviceID = m_services.audioOutput->selectedDeviceID();
    if (!m_synthesizedURL || !deviceID) {
        fail(QStringLiteral(
            "Select a virtual microphone output such as Relayo Virtual Microphone."));
        return;
    }
    m_isPreviewing = false;
    setPreviewFailure(QString());
    try {
        m_services.audioOutput->play(*m_synthesizedURL, deviceID);
    } catch (const std::exception& error) {
        fail(describe(error));
        return;
    }
    assign(this, m_phase, AssistPhase::playing, &AppViewModel::phaseChanged);
    assign(this, m_statusMessage,
           QStringLiteral("Sending the approved English voice to the meeting."),
           &AppViewModel::statusMessageChanged);
}
