#include "app/workflow/AppViewModel.h"

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
        fail(QStringLiteral("Select the meeting application first."));
        co_return;
    }
    resetLiveTranslation();
    assign(this, m_statusMessage,
           QStringLiteral("Preparing the Nemotron 560 live-caption model. The first download is "
                          "about 600 MB."),
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
        fail(*failure);
        co_return;
    }
    co_await captureMeeting(*application);
}

QCoro::Task<> AppViewModel::captureMeeting(CaptureApplication application) {
    QPointer self(this);
    std::optional<QString> failure;
    // The capture is destroyed before the caption service, so a buffer never
    // reaches a caption service that is gone.
    QPointer<INemotronCaptionService> captions = m_services.meetingSpeech.get();
    // Named, not a temporary of the co_await: GCC 12 destroys such temporaries twice.
    ISystemAudioCapture::BufferHandler appendToCaptions = [captions](const PcmBuffer& buffer) {
        if (captions)
            captions->append(buffer);
    };
    try {
        co_await m_services.capture->start(application, appendToCaptions);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (!self)
        co_return;
    if (failure) {
        fail(*failure);
        co_return;
    }
    assign(this, m_phase, AssistPhase::listening, &AppViewModel::phaseChanged);
    assign(this, m_statusMessage,
           QStringLiteral("Live captions are listening only to ") + application.title +
               QStringLiteral(". When the question is complete, use the current caption as the "
                              "question."),
           &AppViewModel::statusMessageChanged);
}

QCoro::Task<> AppViewModel::stopMeetingListening() {
    ++m_listenRun;
    QPointer self(this);
    co_await m_services.capture->stop();
    if (!self)
        co_return;
    co_await m_services.meetingSpeech->cancel();
    if (!self)
        co_return;
    assign(this, m_phase, AssistPhase::idle, &AppViewModel::phaseChanged);
    assign(this, m_statusMessage,
           QStringLiteral("Live captions stopped. No transcript history was saved."),
           &AppViewModel::statusMessageChanged);
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
