#include "app/workflow/AppViewModel.h"

#include "app/core/MainThread.h"
#include "app/core/Observable.h"
#include "app/core/ServiceError.h"

#include <QTimer>
#include <chrono>
#include <qcoro/qcorotimer.h>

using namespace std::chrono_literals;

namespace {

const QString translationFailedText = QStringLiteral("한국어 번역을 불러오지 못했습니다.");

// A fragment is translated only after it stayed unchanged this long.
constexpr auto silenceDelay = 900ms;

// Waits `delay`, ending early when `cancellation` fires.
QCoro::Task<> sleepUnlessCancelled(std::chrono::milliseconds delay, Cancellation cancellation) {
    if (cancellation.isCancelled())
        co_return;
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(delay);
    const auto registration = cancellation.onCancel([&timer] { timer.start(0); });
    co_await timer;
}

} // namespace

QCoro::Task<> AppViewModel::startMeetingListening() {
    const auto application = selectedApplication();
    if (!application) {
        failListening(QStringLiteral("Select the meeting application first."));
        co_return;
    }
    resetLiveTranslation();
    // An earlier failure is over: the model's progress is not shown as a problem.
    clearFailure();
    assign(this, m_statusMessage,
           QStringLiteral("영어 자막 모델을 준비하고 있어요. 처음 한 번은 약 2.5GB를 받아요."),
           &AppViewModel::statusMessageChanged);

    QPointer self(this);
    const auto listenRun = m_listenRun;
    std::optional<QString> failure;
    try {
        co_await m_services.meetingSpeech->start();
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    // Stopped while the model was being prepared: the stop has said what happened.
    if (!self || listenRun != m_listenRun)
        co_return;
    if (failure) {
        failListening(*failure);
        co_return;
    }
    co_await captureMeeting(*application);
}

QCoro::Task<> AppViewModel::captureMeeting(CaptureApplication application) {
    QPointer self(this);
    const auto listenRun = m_listenRun;
    std::optional<QString> failure;
    // The capture is destroyed before the caption service, so a buffer never
    // reaches a caption service that is gone.
    QPointer<INemotronCaptionService> captions = m_services.meetingSpeech.get();
    // Named, not temporaries of the co_await: GCC 12 destroys such temporaries twice.
    ISystemAudioCapture::BufferHandler appendToCaptions = [captions](const PcmBuffer& buffer) {
        if (captions)
            captions->append(buffer);
    };
    ISystemAudioCapture::EndHandler onEnded = [self, listenRun, application] {
        postToMainThread([self, listenRun, application] {
            if (self)
                self->meetingAudioEnded(listenRun, application);
        });
    };
    try {
        co_await m_services.capture->start(application, appendToCaptions, onEnded);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (!self || listenRun != m_listenRun)
        co_return;
    if (failure) {
        failListening(*failure);
        co_return;
    }
    m_isCapturing = true;
    setListeningPhase(AssistPhase::listening);
    assign(this, m_statusMessage,
           QStringLiteral("Live captions are listening only to ") + application.title +
               QStringLiteral(". When the question is complete, use the current caption as the "
                              "question."),
           &AppViewModel::statusMessageChanged);
}

QCoro::Task<> AppViewModel::meetingAudioEnded(qint64 listenRun, CaptureApplication application) {
    if (listenRun != m_listenRun)
        co_return;
    QPointer self(this);
    co_await endListening();
    if (!self)
        co_return;
    failListening(
        QStringLiteral("%1이(가) 종료되어 자막을 멈췄어요. 회의 앱을 다시 켠 뒤 골라 주세요.")
            .arg(application.title));
    co_await refreshApplications();
}

QCoro::Task<> AppViewModel::stopMeetingListening() {
    QPointer self(this);
    co_await endListening();
    if (!self)
        co_return;
    setListeningPhase(AssistPhase::idle);
    if (isReplyUnderway())
        co_return;
    assign(this, m_statusMessage,
           QStringLiteral("Live captions stopped. No transcript history was saved."),
           &AppViewModel::statusMessageChanged);
}

// A start still under way ends quietly once it sees the new run.
QCoro::Task<> AppViewModel::endListening() {
    ++m_listenRun;
    m_isCapturing = false;
    QPointer self(this);
    co_await m_services.capture->stop();
    if (self)
        co_await m_services.meetingSpeech->cancel();
}

bool AppViewModel::isReplyUnderway() const {
    return m_phase == AssistPhase::speakingKorean || m_phase == AssistPhase::translatingReply ||
           m_phase == AssistPhase::playing;
}

void AppViewModel::setListeningPhase(AssistPhase phase) {
    if (!isReplyUnderway())
        assign(this, m_phase, phase, &AppViewModel::phaseChanged);
}

void AppViewModel::clearFailure() {
    if (m_phase == AssistPhase::error)
        assign(this, m_phase, m_isCapturing ? AssistPhase::listening : AssistPhase::idle,
               &AppViewModel::phaseChanged);
}

void AppViewModel::failListening(const QString& message) {
    if (isReplyUnderway())
        assign(this, m_statusMessage, message, &AppViewModel::statusMessageChanged);
    else
        fail(message);
}

void AppViewModel::scheduleSilenceTranslation(const QString& transcript) {
    const QString sentence = transcript.trimmed();
    if (m_silenceTranslationTask)
        m_silenceTranslationTask->cancel();
    if (sentence.isEmpty()) {
        assign(this, m_liveTranslation, QString(), &AppViewModel::liveTranslationChanged);
        assign(this, m_isTranslating, false, &AppViewModel::isTranslatingChanged);
        return;
    }
    // A completed sentence is already being translated by its own subscription.
    if (sentence == m_services.meetingSpeech->completedSentence())
        return;
    const Cancellation cancellation;
    m_silenceTranslationTask = cancellation;
    translateAfterSilence(this, sentence, cancellation);
}

QCoro::Task<> AppViewModel::translateAfterSilence(QPointer<AppViewModel> self, QString english,
                                                  Cancellation cancellation) {
    co_await sleepUnlessCancelled(silenceDelay, cancellation);
    if (cancellation.isCancelled() || !self)
        co_return;
    self->beginTranslation(english);
}

void AppViewModel::beginTranslation(const QString& english) {
    // Without a service the caption card asks for one once, instead of failing every sentence.
    if (!m_translationSettings->refreshService())
        return;
    const qint64 generation = ++m_translationGeneration;
    if (m_activeTranslationTask)
        m_activeTranslationTask->cancel();
    assign(this, m_isTranslating, true, &AppViewModel::isTranslatingChanged);
    const Cancellation cancellation;
    m_activeTranslationTask = cancellation;
    translateCaption(this, english, generation, cancellation);
}

QCoro::Task<> AppViewModel::translateCaption(QPointer<AppViewModel> self, QString english,
                                             qint64 generation, Cancellation cancellation) {
    if (!self)
        co_return;
    std::optional<QString> korean;
    const auto showPartial = [self, english, generation, cancellation](const QString& partial) {
        if (self)
            self->showTranslation(english, partial, generation, cancellation);
    };
    try {
        korean =
            co_await self->m_services.nebius->translateToKorean(english, cancellation, showPartial);
    } catch (const std::exception&) {
        // The failure's own text is not shown; an older translation stays on screen.
    }
    if (!self || cancellation.isCancelled() || self->m_translationGeneration != generation)
        co_return;
    if (korean) {
        self->showTranslation(english, *korean, generation, cancellation);
    } else if (self->m_liveTranslation.isEmpty()) {
        assign(self.data(), self->m_liveTranslation, translationFailedText,
               &AppViewModel::liveTranslationChanged);
    }
    assign(self.data(), self->m_isTranslating, false, &AppViewModel::isTranslatingChanged);
}

void AppViewModel::showTranslation(const QString& english, const QString& korean, qint64 generation,
                                   const Cancellation& cancellation) {
    if (cancellation.isCancelled() || m_translationGeneration != generation)
        return;
    assign(this, m_translatedEnglishSentence, english,
           &AppViewModel::translatedEnglishSentenceChanged);
    assign(this, m_liveTranslation, korean, &AppViewModel::liveTranslationChanged);
}

void AppViewModel::resetLiveTranslation() {
    ++m_translationGeneration;
    for (auto* task : {&m_silenceTranslationTask, &m_activeTranslationTask}) {
        if (*task)
            (*task)->cancel();
        task->reset();
    }
    assign(this, m_translatedEnglishSentence, QString(),
           &AppViewModel::translatedEnglishSentenceChanged);
    assign(this, m_liveTranslation, QString(), &AppViewModel::liveTranslationChanged);
    assign(this, m_isTranslating, false, &AppViewModel::isTranslatingChanged);
}
