#include "app/workflow/AppViewModel.h"

#include "app/core/Observable.h"
#include "app/core/ServiceError.h"
#include "app/workflow/ScreenshotMode.h"

#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <qcoro/qcorotimer.h>

using namespace std::chrono_literals;

namespace {

const QString voiceSourceKey = QStringLiteral("voiceSource");
const QString localVoiceIDKey = QStringLiteral("localVoiceID");
const QString elevenLabsVoiceIDKey = QStringLiteral("elevenLabsVoiceID");

const QString addAPIKeyStatus =
    QStringLiteral("Add your API key to use your own ElevenLabs voice.");
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

// Screenshot mode shows an empty field where a translation failed.
QCoro::Task<QString> textOrEmpty(QCoro::Task<QString> translation) {
    try {
        co_return co_await std::move(translation);
    } catch (const std::exception&) {
        co_return QString();
    }
}

// The first element of `list` that `matches`, if any.
template <typename List, typename Predicate>
std::optional<typename List::value_type> firstWhere(const List& list, Predicate matches) {
    const auto found = std::find_if(list.begin(), list.end(), matches);
    return found == list.end() ? std::nullopt : std::optional(*found);
}

QString connectedStatus(const ElevenLabsVoice& voice) {
    return QStringLiteral("Connected securely. Output voice: ") + voice.name + QStringLiteral(".");
}

} // namespace

AppViewModel::AppViewModel(AppServices services, QObject* parent)
    : QObject(parent), m_services(std::move(services)),
      m_statusMessage(
          QStringLiteral("Select Chrome or Zoom, then listen for the other person's question.")),
      m_elevenLabsStatus(addAPIKeyStatus),
      m_selectedLocalVoiceID(LocalVoicePreset::all().first().id) {
    connect(this, &AppViewModel::voiceSourceChanged, this, &AppViewModel::activeVoiceNameChanged);
    connect(this, &AppViewModel::selectedLocalVoiceIDChanged, this,
            &AppViewModel::activeVoiceNameChanged);
    connect(this, &AppViewModel::elevenLabsVoicesChanged, this,
            &AppViewModel::activeVoiceNameChanged);
    connect(this, &AppViewModel::selectedElevenLabsVoiceIDChanged, this,
            &AppViewModel::activeVoiceNameChanged);
    restoreVoiceChoice();
    subscribeToServices();
}

AppViewModel::~AppViewModel() {
    // The services die with the controller; none of their last announcements may reach it.
    for (const auto& connection : std::as_const(m_cancellables))
        disconnect(connection);
}

void AppViewModel::restoreVoiceChoice() {
    QSettings& settings = *m_services.settings;
    if (auto source = VoiceSources::fromRawValue(settings.value(voiceSourceKey).toString()))
        assign(this, m_voiceSource, *source, &AppViewModel::voiceSourceChanged);
    const QString localVoiceID = settings.value(localVoiceIDKey).toString();
    if (firstWhere(LocalVoicePreset::all(),
                   [&](const auto& preset) { return preset.id == localVoiceID; }))
        assign(this, m_selectedLocalVoiceID, localVoiceID,
               &AppViewModel::selectedLocalVoiceIDChanged);
}

void AppViewModel::subscribeToServices() {
    INemotronCaptionService* captions = m_services.meetingSpeech.get();
    m_cancellables << subscribeDistinct(
        captions, &INemotronCaptionService::transcript, &INemotronCaptionService::transcriptChanged,
        this, [this](const QString& transcript) { scheduleSilenceTranslation(transcript); });
    m_cancellables << subscribeDistinct(captions, &INemotronCaptionService::completedSentence,
                                        &INemotronCaptionService::completedSentenceChanged, this,
                                        [this](const QString& sentence) {
                                            if (sentence.isEmpty())
                                                return;
                                            if (m_silenceTranslationTask)
                                                m_silenceTranslationTask->cancel();
                                            beginTranslation(sentence);
                                        });
    m_cancellables << subscribeDistinct(
        m_services.koreanSpeech.get(), &ISpeechRecognitionService::transcript,
        &ISpeechRecognitionService::transcriptChanged, this, [this](const QString& transcript) {
            assign(this, m_koreanReply, transcript, &AppViewModel::koreanReplyChanged);
        });
    m_cancellables << connect(m_services.audioOutput.get(), &IAudioOutput::playbackFailed, this,
                              &AppViewModel::fail);
    // A reply whose recognizer fails (its model could not be fetched, for one) ends with the
    // failure shown, instead of listening on without result.
    m_cancellables << subscribeDistinct(m_services.koreanSpeech.get(),
                                        &ISpeechRecognitionService::recognitionError,
                                        &ISpeechRecognitionService::recognitionErrorChanged, this,
                                        [this](const std::optional<QString>& error) {
                                            if (!error || m_phase != AssistPhase::speakingKorean)
                                                return;
                                            m_services.koreanSpeech->stop();
                                            fail(*error);
                                        });
}

// MARK: Window-facing accessors

void AppViewModel::setSelectedApplicationID(std::optional<qint32> id) {
    assign(this, m_selectedApplicationID, id, &AppViewModel::selectedApplicationIDChanged);
}

void AppViewModel::setApprovedText(const QString& text) {
    assign(this, m_approvedText, text, &AppViewModel::approvedTextChanged);
}

QVariant AppViewModel::selectedApplicationIDValue() const {
    return variantOf(m_selectedApplicationID);
}

void AppViewModel::setSelectedApplicationIDValue(const QVariant& value) {
    bool isNumber = false;
    const qint32 id = value.toInt(&isNumber);
    setSelectedApplicationID(isNumber ? std::optional(id) : std::nullopt);
}

QVariant AppViewModel::synthesizedURLValue() const {
    return variantOf(m_synthesizedURL);
}

QVariant AppViewModel::selectedElevenLabsVoiceIDValue() const {
    return variantOf(m_selectedElevenLabsVoiceID);
}

std::optional<CaptureApplication> AppViewModel::selectedApplication() const {
    if (!m_selectedApplicationID)
        return std::nullopt;
    return firstWhere(m_applications, [this](const CaptureApplication& application) {
        return application.id == *m_selectedApplicationID;
    });
}

LocalVoicePreset AppViewModel::selectedLocalVoice() const {
    const auto& presets = LocalVoicePreset::all();
    return firstWhere(presets,
                      [this](const LocalVoicePreset& preset) {
                          return preset.id == m_selectedLocalVoiceID;
                      })
        .value_or(presets.first());
}

std::optional<ElevenLabsVoice> AppViewModel::selectedElevenLabsVoice() const {
    if (!m_selectedElevenLabsVoiceID)
        return std::nullopt;
    return firstWhere(m_elevenLabsVoices, [this](const ElevenLabsVoice& voice) {
        return voice.voiceID == *m_selectedElevenLabsVoiceID;
    });
}

QString AppViewModel::activeVoiceName() const {
    if (m_voiceSource == VoiceSource::local)
        return selectedLocalVoice().label;
    const auto voice = selectedElevenLabsVoice();
    return voice ? voice->name : QStringLiteral("Connect ElevenLabs");
}

void AppViewModel::fail(const QString& message) {
    assign(this, m_phase, AssistPhase::error, &AppViewModel::phaseChanged);
    assign(this, m_statusMessage, message, &AppViewModel::statusMessageChanged);
}

// MARK: Start-up and screenshot mode

QCoro::Task<> AppViewModel::prepare() {
    QPointer self(this);
    const auto key = co_await m_services.keychain->loadAPIKey();
    if (!self)
        co_return;
    assign(this, m_hasElevenLabsAPIKey, key.has_value(), &AppViewModel::hasElevenLabsAPIKeyChanged);
    if (m_hasElevenLabsAPIKey) {
        co_await refreshElevenLabsVoices();
        if (!self)
            co_return;
    }
    const bool granted = co_await m_services.koreanSpeech->requestPermissions();
    if (!self)
        co_return;
    if (!granted) {
        fail(QStringLiteral("Microphone or speech recognition is not available."));
        co_return;
    }
    co_await refreshApplications();
    if (!self)
        co_return;
    m_services.audioOutput->refreshDevices();
}

QCoro::Task<> AppViewModel::refreshApplications() {
    QPointer self(this);
    QList<CaptureApplication> applications;
    std::optional<QString> failure;
    try {
        applications = co_await m_services.capture->availableApplications();
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (!self)
        co_return;
    if (failure) {
        fail(QStringLiteral("Connect to the sound server so the app can listen only to the "
                            "selected meeting app. ") +
             *failure);
        co_return;
    }
    assign(this, m_applications, applications, &AppViewModel::applicationsChanged);
    if (m_selectedApplicationID && !selectedApplication())
        setSelectedApplicationID(std::nullopt);
    if (!m_selectedApplicationID)
        chooseApplicationAutomatically();
}

void AppViewModel::chooseApplicationAutomatically() {
    const auto meetingApplication =
        firstWhere(m_applications, [](const CaptureApplication& application) {
            return application.bundleIdentifier.toLower().contains(QStringLiteral("chrome")) ||
                   application.title.toLower().contains(QStringLiteral("zoom"));
        });
    if (meetingApplication)
        setSelectedApplicationID(meetingApplication->id);
}

QCoro::Task<> AppViewModel::applyScreenshotStep(qint64 step) {
    if (step < 2 || step > 4)
        co_return;
    QPointer self(this);
    const QString english = ScreenshotMode::englishQuestion();
    const QString korean = ScreenshotMode::koreanReply();
    INemotronCaptionService& captions = *m_services.meetingSpeech;
    if (step == 2)
        assign(this, m_phase, AssistPhase::listening, &AppViewModel::phaseChanged);
    captions.setTranscript(english);
    captions.setIsListening(step == 2);
    const QString translation = co_await textOrEmpty(m_services.nebius->translateToKorean(english));
    if (!self)
        co_return;
    assign(this, m_liveTranslation, translation, &AppViewModel::liveTranslationChanged);
    if (step == 2)
        co_return;
    if (step == 3)
        assign(this, m_phase, AssistPhase::speakingKorean, &AppViewModel::phaseChanged);
    assign(this, m_koreanReply, korean, &AppViewModel::koreanReplyChanged);
    if (step == 3)
        co_return;
    const QString approved = co_await textOrEmpty(m_services.nebius->translateToEnglish(korean));
    if (!self)
        co_return;
    setApprovedText(approved);
    assign(this, m_phase, AssistPhase::readyToSend, &AppViewModel::phaseChanged);
}

// MARK: Meeting listening and live translation

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

    // The capture is destroyed before the caption service, so a buffer never
    // reaches a caption service that is gone.
    QPointer<INemotronCaptionService> captions = m_services.meetingSpeech.get();
    // Named, not a temporary of the co_await: GCC 12 destroys such temporaries twice.
    ISystemAudioCapture::BufferHandler appendToCaptions = [captions](const PcmBuffer& buffer) {
        if (captions)
            captions->append(buffer);
    };
    try {
        co_await m_services.capture->start(*application, appendToCaptions);
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
           QStringLiteral("Live captions are listening only to ") + application->title +
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
    try {
        korean = co_await self->m_services.nebius->translateToKorean(english, cancellation);
    } catch (const std::exception&) {
        // The failure's own text is not shown; an older translation stays on screen.
    }
    if (!self || cancellation.isCancelled() || self->m_translationGeneration != generation)
        co_return;
    if (korean) {
        assign(self.data(), self->m_translatedEnglishSentence, english,
               &AppViewModel::translatedEnglishSentenceChanged);
        assign(self.data(), self->m_liveTranslation, *korean,
               &AppViewModel::liveTranslationChanged);
    } else if (self->m_liveTranslation.isEmpty()) {
        assign(self.data(), self->m_liveTranslation, translationFailedText,
               &AppViewModel::liveTranslationChanged);
    }
    assign(self.data(), self->m_isTranslating, false, &AppViewModel::isTranslatingChanged);
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

// MARK: Korean reply, English voice and sending

void AppViewModel::startKoreanReply() {
    m_services.audioOutput->stop();
    assign(this, m_koreanReply, QString(), &AppViewModel::koreanReplyChanged);
    setApprovedText(QString());
    assign(this, m_synthesizedURL, std::nullopt, &AppViewModel::synthesizedURLChanged);
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

void AppViewModel::cancelKoreanReply() {
    m_services.koreanSpeech->stop();
    assign(this, m_phase, AssistPhase::idle, &AppViewModel::phaseChanged);
    assign(this, m_statusMessage, QStringLiteral("한국어 답변 녹음을 취소했습니다."),
           &AppViewModel::statusMessageChanged);
}

// The text translated is the reply's whole text, the words the recognizer decodes only at the
// end included, and is what the window shows.
QCoro::Task<> AppViewModel::finishKoreanReply() {
    assign(this, m_phase, AssistPhase::translatingReply, &AppViewModel::phaseChanged);
    assign(this, m_isTranslatingReply, true, &AppViewModel::isTranslatingReplyChanged);
    assign(this, m_statusMessage,
           QStringLiteral("한국어 답변을 자연스러운 영어로 번역하고 있습니다…"),
           &AppViewModel::statusMessageChanged);

    QPointer self(this);
    QString english;
    std::optional<QString> failure;
    try {
        const QString korean = (co_await m_services.koreanSpeech->finish()).trimmed();
        if (!self)
            co_return;
        assign(this, m_koreanReply, korean, &AppViewModel::koreanReplyChanged);
        if (korean.isEmpty())
            throw ServiceError(
                QStringLiteral("한국어 답변을 인식하지 못했습니다. 다시 말해 주세요."));
        english = co_await m_services.nebius->translateToEnglish(korean);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (!self)
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
    if (!self)
        co_return;
    assign(this, m_isTranslatingReply, false, &AppViewModel::isTranslatingReplyChanged);
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
    const bool useElevenLabs = m_voiceSource == VoiceSource::elevenLabs;
    const LocalVoicePreset localVoice = selectedLocalVoice();
    std::optional<ElevenLabsVoice> elevenLabsVoice;
    std::optional<QString> apiKey;
    if (useElevenLabs) {
        apiKey = co_await m_services.keychain->loadAPIKey();
        if (!self)
            co_return false;
        elevenLabsVoice = selectedElevenLabsVoice();
        if (!apiKey || !elevenLabsVoice) {
            fail(QStringLiteral(
                "Connect ElevenLabs and select a voice, or switch to a free local voice."));
            co_return false;
        }
        // Another request may have started generating while the key was read.
        if (m_isGeneratingVoice)
            co_return false;
    }
    const QString voiceKey = useElevenLabs
                                 ? QStringLiteral("elevenlabs:") + elevenLabsVoice->voiceID
                                 : QStringLiteral("local:") + localVoice.systemName;

    if (m_synthesizedURL && m_cachedVoiceText == text && m_cachedVoiceKey == voiceKey &&
        QFileInfo::exists(m_synthesizedURL->toLocalFile())) {
        assign(this, m_phase, AssistPhase::readyToSend, &AppViewModel::phaseChanged);
        assign(this, m_statusMessage,
               QStringLiteral("Reusing the already generated audio. No additional voice "
                              "generation was charged."),
               &AppViewModel::statusMessageChanged);
        co_return true;
    }

    assign(this, m_isGeneratingVoice, true, &AppViewModel::isGeneratingVoiceChanged);
    const QString progress = useElevenLabs
                                 ? QStringLiteral("Generating with your ElevenLabs voice ‘") +
                                       elevenLabsVoice->name + QStringLiteral("’…")
                                 : QStringLiteral("Generating with the free local voice ‘") +
                                       localVoice.label + QStringLiteral("’…");
    assign(this, m_statusMessage, progress, &AppViewModel::statusMessageChanged);
    QUrl file;
    std::optional<QString> failure;
    try {
        // Not one ?: expression: GCC 12 destroys the result of a co_await inside ?: twice.
        if (useElevenLabs)
            file =
                co_await m_services.elevenLabs->synthesize(text, elevenLabsVoice->voiceID, *apiKey);
        else
            file = co_await m_services.audioOutput->synthesize(text, localVoice.systemName);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (!self)
        co_return false;
    if (failure) {
        fail(*failure);
        assign(this, m_isGeneratingVoice, false, &AppViewModel::isGeneratingVoiceChanged);
        co_return false;
    }
    assign(this, m_synthesizedURL, file, &AppViewModel::synthesizedURLChanged);
    m_cachedVoiceText = text;
    m_cachedVoiceKey = voiceKey;
    assign(this, m_phase, AssistPhase::readyToSend, &AppViewModel::phaseChanged);
    assign(this, m_statusMessage,
           QStringLiteral("Generated with ") + activeVoiceName() +
               QStringLiteral(". Preview it or send it to the meeting."),
           &AppViewModel::statusMessageChanged);
    assign(this, m_isGeneratingVoice, false, &AppViewModel::isGeneratingVoiceChanged);
    co_return true;
}

void AppViewModel::preview() {
    if (!m_synthesizedURL)
        return;
    QString status = QStringLiteral("Playing through this computer's current speaker output.");
    try {
        m_services.audioOutput->play(*m_synthesizedURL, std::nullopt);
    } catch (const std::exception& error) {
        status = describe(error);
    }
    assign(this, m_statusMessage, status, &AppViewModel::statusMessageChanged);
}

void AppViewModel::sendToMeeting() {
    const auto deviceID = m_services.audioOutput->selectedDeviceID();
    if (!m_synthesizedURL || !deviceID) {
        fail(QStringLiteral(
            "Select a virtual microphone output such as Relayo Virtual Microphone."));
        return;
    }
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

// MARK: Voice source selection and ElevenLabs connection

void AppViewModel::invalidateReusableAudio() {
    assign(this, m_synthesizedURL, std::nullopt, &AppViewModel::synthesizedURLChanged);
    m_cachedVoiceText.clear();
    m_cachedVoiceKey.clear();
}

void AppViewModel::selectVoiceSource(VoiceSource source) {
    assign(this, m_voiceSource, source, &AppViewModel::voiceSourceChanged);
    m_services.settings->setValue(voiceSourceKey, VoiceSources::rawValue(source));
    invalidateReusableAudio();
}

void AppViewModel::selectLocalVoice(const QString& id) {
    assign(this, m_selectedLocalVoiceID, id, &AppViewModel::selectedLocalVoiceIDChanged);
    m_services.settings->setValue(localVoiceIDKey, id);
    invalidateReusableAudio();
}

void AppViewModel::selectElevenLabsVoice(const std::optional<QString>& voiceID) {
    assign(this, m_selectedElevenLabsVoiceID, voiceID,
           &AppViewModel::selectedElevenLabsVoiceIDChanged);
    invalidateReusableAudio();
    if (voiceID)
        m_services.settings->setValue(elevenLabsVoiceIDKey, *voiceID);
    else
        m_services.settings->remove(elevenLabsVoiceIDKey);
    if (const auto voice = selectedElevenLabsVoice())
        assign(this, m_elevenLabsStatus, connectedStatus(*voice),
               &AppViewModel::elevenLabsStatusChanged);
}

QCoro::Task<> AppViewModel::connectElevenLabs(QString apiKey) {
    const QString key = apiKey.trimmed();
    if (key.isEmpty()) {
        assign(this, m_elevenLabsStatus, QStringLiteral("Enter an ElevenLabs API key first."),
               &AppViewModel::elevenLabsStatusChanged);
        co_return;
    }
    QPointer self(this);
    std::optional<QString> failure;
    try {
        co_await m_services.keychain->saveAPIKey(key);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (!self)
        co_return;
    if (failure) {
        assign(this, m_elevenLabsStatus, *failure, &AppViewModel::elevenLabsStatusChanged);
        co_return;
    }
    assign(this, m_hasElevenLabsAPIKey, true, &AppViewModel::hasElevenLabsAPIKeyChanged);
    co_await refreshElevenLabsVoices();
}

QCoro::Task<> AppViewModel::forgetElevenLabsAPIKey() {
    QPointer self(this);
    co_await m_services.keychain->deleteAPIKey();
    if (!self)
        co_return;
    assign(this, m_hasElevenLabsAPIKey, false, &AppViewModel::hasElevenLabsAPIKeyChanged);
    assign(this, m_elevenLabsVoices, QList<ElevenLabsVoice>(),
           &AppViewModel::elevenLabsVoicesChanged);
    assign(this, m_selectedElevenLabsVoiceID, std::nullopt,
           &AppViewModel::selectedElevenLabsVoiceIDChanged);
    invalidateReusableAudio();
    m_services.settings->remove(elevenLabsVoiceIDKey);
    assign(this, m_elevenLabsStatus, QStringLiteral("ElevenLabs API key removed from the keyring."),
           &AppViewModel::elevenLabsStatusChanged);
}

QCoro::Task<> AppViewModel::refreshElevenLabsVoices() {
    QPointer self(this);
    const auto key = co_await m_services.keychain->loadAPIKey();
    if (!self)
        co_return;
    if (!key || key->isEmpty()) {
        assign(this, m_hasElevenLabsAPIKey, false, &AppViewModel::hasElevenLabsAPIKeyChanged);
        assign(this, m_elevenLabsStatus, addAPIKeyStatus, &AppViewModel::elevenLabsStatusChanged);
        co_return;
    }
    assign(this, m_isLoadingElevenLabsVoices, true,
           &AppViewModel::isLoadingElevenLabsVoicesChanged);
    assign(this, m_elevenLabsStatus, QStringLiteral("Loading your ElevenLabs voices…"),
           &AppViewModel::elevenLabsStatusChanged);

    QList<ElevenLabsVoice> voices;
    std::optional<QString> failure;
    try {
        voices = co_await m_services.elevenLabs->voices(*key);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (!self)
        co_return;
    if (failure) {
        // The stored choice stays, so it comes back with the next successful refresh.
        assign(this, m_elevenLabsVoices, QList<ElevenLabsVoice>(),
               &AppViewModel::elevenLabsVoicesChanged);
        assign(this, m_selectedElevenLabsVoiceID, std::nullopt,
               &AppViewModel::selectedElevenLabsVoiceIDChanged);
        assign(this, m_elevenLabsStatus, *failure, &AppViewModel::elevenLabsStatusChanged);
    } else {
        assign(this, m_elevenLabsVoices, voices, &AppViewModel::elevenLabsVoicesChanged);
        const auto voice = preferredElevenLabsVoice();
        assign(this, m_selectedElevenLabsVoiceID,
               voice ? std::optional(voice->voiceID) : std::nullopt,
               &AppViewModel::selectedElevenLabsVoiceIDChanged);
        if (voice) {
            m_services.settings->setValue(elevenLabsVoiceIDKey, voice->voiceID);
            assign(this, m_elevenLabsStatus, connectedStatus(*voice),
                   &AppViewModel::elevenLabsStatusChanged);
        } else {
            assign(this, m_elevenLabsStatus,
                   QStringLiteral("Connected, but no personal or workspace voices were found."),
                   &AppViewModel::elevenLabsStatusChanged);
        }
    }
    assign(this, m_isLoadingElevenLabsVoices, false,
           &AppViewModel::isLoadingElevenLabsVoicesChanged);
}

// The stored choice if the account still has it, else the account's own voice, else the first.
std::optional<ElevenLabsVoice> AppViewModel::preferredElevenLabsVoice() const {
    if (m_elevenLabsVoices.isEmpty())
        return std::nullopt;
    const QVariant stored = m_services.settings->value(elevenLabsVoiceIDKey);
    if (const auto voice = firstWhere(m_elevenLabsVoices, [&](const ElevenLabsVoice& candidate) {
            return stored.isValid() && candidate.voiceID == stored.toString();
        }))
        return voice;
    if (const auto voice = firstWhere(m_elevenLabsVoices, [](const ElevenLabsVoice& candidate) {
            return candidate.isOwner.value_or(false);
        }))
        return voice;
    return m_elevenLabsVoices.first();
}
