#include "app/workflow/AppViewModel.h"

#include "app/core/Observable.h"
#include "app/workflow/FirstWhere.h"

// The controller's construction, its subscriptions and what the window reads. The actions are
// in AppViewModelStartup.cpp, AppViewModelListening.cpp, AppViewModelModels.cpp,
// AppViewModelReply.cpp and AppViewModelVoices.cpp, one file a feature.

AppViewModel::AppViewModel(AppServices services, QObject* parent)
    : QObject(parent), m_services(std::move(services)),
      m_statusMessage(
          QStringLiteral("Select Chrome or Zoom, then listen for the other person's question.")),
      m_elevenLabsStatus(addAPIKeyStatus()),
      m_selectedLocalVoiceID(LocalVoicePreset::all().first().id) {
    connect(this, &AppViewModel::voiceSourceChanged, this, &AppViewModel::activeVoiceNameChanged);
    connect(this, &AppViewModel::selectedLocalVoiceIDChanged, this,
            &AppViewModel::activeVoiceNameChanged);
    connect(this, &AppViewModel::elevenLabsVoicesChanged, this,
            &AppViewModel::activeVoiceNameChanged);
    connect(this, &AppViewModel::selectedElevenLabsVoiceIDChanged, this,
            &AppViewModel::activeVoiceNameChanged);
    m_translationSettings = std::make_unique<TranslationSettingsController>(
        std::move(m_services.translationSettings), *m_services.nebius);
    restoreVoiceChoice();
    subscribeToServices();
}

AppViewModel::~AppViewModel() {
    // The services die with the controller; none of their last announcements may reach it.
    for (const auto& connection : std::as_const(m_cancellables))
        disconnect(connection);
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
    // A cancelled reply still recognised later (its model was being fetched) shows nothing.
    m_cancellables << subscribeDistinct(
        m_services.koreanSpeech.get(), &ISpeechRecognitionService::transcript,
        &ISpeechRecognitionService::transcriptChanged, this, [this](const QString& transcript) {
            if (m_phase == AssistPhase::speakingKorean || m_phase == AssistPhase::translatingReply)
                assign(this, m_koreanReply, transcript, &AppViewModel::koreanReplyChanged);
        });
    m_cancellables << connect(m_services.audioOutput.get(), &IAudioOutput::playbackFailed, this,
                              &AppViewModel::playbackFailed);
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
