#include "app/ui/ContentViewModel.h"

#include "app/core/Observable.h"
#include "app/ui/GuideParser.h"
#include "app/ui/WindowTexts.h"

#include <QUrl>
#include <chrono>

using namespace std::chrono_literals;

namespace {

QVariantMap option(const QVariant& value, const QString& title) {
    return {{QStringLiteral("value"), value}, {QStringLiteral("title"), title}};
}

QVariantList blocksForQml(const QList<GuideBlock>& blocks) {
    static const char* const kinds[] = {"title", "heading", "line", "gap"};
    QVariantList list;
    for (const GuideBlock& block : blocks)
        list.append(QVariantMap{{QStringLiteral("kind"), kinds[int(block.kind)]},
                                {QStringLiteral("text"), block.text}});
    return list;
}

} // namespace

ContentViewModel::ContentViewModel(AppViewModel& model, std::unique_ptr<ReportDelivery> delivery,
                                   QString guideFolder, QObject* parent)
    : QObject(parent), m_model(&model), m_delivery(std::move(delivery)),
      m_guideBlocks(blocksForQml(GuideParser::load(guideFolder))) {
    connectDerivedValues();
    m_virtualMicrophonePoll.setInterval(3s);
    connect(&m_virtualMicrophonePoll, &QTimer::timeout, this,
            &ContentViewModel::pollVirtualMicrophone);
    m_virtualMicrophonePoll.start();
}

ContentViewModel::~ContentViewModel() = default;

template <typename Sender, typename Signal>
void ContentViewModel::announceOn(Sender* sender, Signal changed,
                                  std::initializer_list<void (ContentViewModel::*)()> values) {
    for (const auto value : values)
        connect(sender, changed, this, value);
}

// Each derived value is announced when one of its inputs is, and only then: a caption update
// does not rebuild the application, device and voice lists. Listed by input.
void ContentViewModel::connectDerivedValues() {
    using C = ContentViewModel;
    AppViewModel* model = m_model;
    INemotronCaptionService* captions = &model->meetingSpeech();
    IAudioOutput* audio = &model->audioOutput();
    announceOn(model, &AppViewModel::phaseChanged,
               {&C::isSpeakingKoreanChanged, &C::phaseTextChanged, &C::phaseColorChanged,
                &C::isLivePhaseChanged, &C::sentAndDoneChanged, &C::currentStepChanged,
                &C::currentNoticeChanged});
    announceOn(model, &AppViewModel::statusMessageChanged, {&C::currentNoticeChanged});
    announceOn(model, &AppViewModel::previewFailureChanged, {&C::currentNoticeChanged});
    announceOn(model, &AppViewModel::approvedTextChanged,
               {&C::hasEnglishAnswerChanged, &C::currentStepChanged});
    announceOn(model, &AppViewModel::isTranslatingReplyChanged, {&C::currentStepChanged});
    announceOn(model, &AppViewModel::liveTranslationChanged, {&C::currentStepChanged});
    announceOn(model, &AppViewModel::applicationsChanged,
               {&C::applicationOptionsChanged, &C::listenSubtitleChanged});
    announceOn(model, &AppViewModel::selectedApplicationIDChanged, {&C::listenSubtitleChanged});
    announceOn(model, &AppViewModel::elevenLabsStatusChanged, {&C::elevenLabsStatusTextChanged});
    announceOn(model, &AppViewModel::elevenLabsVoicesChanged,
               {&C::elevenLabsVoiceOptionsChanged, &C::voiceTilesChanged,
                &C::isSelectedElevenLabsVoiceAvailableChanged});
    announceOn(model, &AppViewModel::selectedElevenLabsVoiceIDChanged,
               {&C::voiceTilesChanged, &C::isSelectedElevenLabsVoiceAvailableChanged});
    announceOn(model, &AppViewModel::voiceSourceChanged, {&C::voiceTilesChanged});
    announceOn(model, &AppViewModel::selectedLocalVoiceIDChanged, {&C::voiceTilesChanged});
    announceOn(model, &AppViewModel::hasElevenLabsAPIKeyChanged, {&C::voiceTilesChanged});
    announceOn(captions, &INemotronCaptionService::transcriptChanged,
               {&C::englishCaptionTextChanged, &C::currentStepChanged});
    announceOn(captions, &INemotronCaptionService::isListeningChanged,
               {&C::englishCaptionTextChanged, &C::currentStepChanged, &C::listenSubtitleChanged});
    announceOn(captions, &INemotronCaptionService::isPreparingChanged,
               {&C::phaseTextChanged, &C::currentNoticeChanged});
    announceOn(captions, &INemotronCaptionService::modelProgressChanged,
               {&C::modelStatusTextChanged});
    announceOn(captions, &INemotronCaptionService::lagSecondsChanged, {&C::captionLagTextChanged});
    announceOn(captions, &INemotronCaptionService::skippedSecondsChanged,
               {&C::captionSkipTextChanged});
    announceOn(&model->koreanSpeech(), &ISpeechRecognitionService::modelProgressChanged,
               {&C::koreanModelStatusTextChanged, &C::currentNoticeChanged});
    announceOn(audio, &IAudioOutput::devicesChanged,
               {&C::deviceOptionsChanged, &C::hasBlackHoleChanged,
                &C::isVirtualMicrophoneSelectedChanged, &C::currentNoticeChanged});
    announceOn(audio, &IAudioOutput::selectedDeviceIDChanged,
               {&C::isVirtualMicrophoneSelectedChanged});
    announceOn(audio, &IAudioOutput::isPlayingChanged, {&C::sentAndDoneChanged});
}

QObject* ContentViewModel::modelObject() const {
    return m_model;
}

QObject* ContentViewModel::meetingSpeechObject() const {
    return &m_model->meetingSpeech();
}

QObject* ContentViewModel::audioOutputObject() const {
    return &m_model->audioOutput();
}

bool ContentViewModel::isSpeakingKorean() const {
    return m_model->phase() == AssistPhase::speakingKorean;
}

QString ContentViewModel::phaseText() const {
    return WindowTexts::phaseText(m_model->phase(), m_model->meetingSpeech().isPreparing());
}

QColor ContentViewModel::phaseColor() const {
    return WindowTexts::phaseColor(m_model->phase());
}

bool ContentViewModel::isLivePhase() const {
    return WindowTexts::isLivePhase(m_model->phase());
}

bool ContentViewModel::sentAndDone() const {
    return WindowTexts::sentAndDone(m_model->phase(), m_model->audioOutput().isPlaying());
}

bool ContentViewModel::hasEnglishAnswer() const {
    return WindowTexts::hasEnglishAnswer(m_model->approvedText());
}

bool ContentViewModel::hasBlackHole() const {
    return WindowTexts::hasBlackHole(m_model->audioOutput().devices());
}

bool ContentViewModel::isVirtualMicrophoneSelected() const {
    const IAudioOutput& audio = m_model->audioOutput();
    return WindowTexts::isVirtualMicrophoneSelected(audio.devices(), audio.selectedDeviceID());
}

int ContentViewModel::currentStep() const {
    const INemotronCaptionService& speech = m_model->meetingSpeech();
    return WindowTexts::currentStep({hasEnglishAnswer(), m_model->isTranslatingReply(),
                                     m_model->phase(), speech.isListening(),
                                     m_model->liveTranslation(), speech.transcript()});
}

// The status card: the workflow's notice, else a failed preview, else the model-preparation
// note, else the offer of the models still missing (while none is being fetched), else nothing.
std::optional<Notice> ContentViewModel::currentNotice() const {
    if (std::optional<Notice> notice =
            Notice::forStatus(m_model->phase(), m_model->statusMessage(), hasBlackHole()))
        return notice;
    if (!m_model->previewFailure().isEmpty())
        return Notice::previewFailed(m_model->previewFailure());
    if (m_model->meetingSpeech().isPreparing())
        return Notice::preparingModel();
    const int missing = m_model->missingModels();
    if (missing > 0 && !m_model->koreanSpeech().modelProgress())
        return Notice::modelsOffer(missing);
    return std::nullopt;
}

QVariant ContentViewModel::currentNoticeValue() const {
    const std::optional<Notice> notice = currentNotice();
    return notice ? notice->toVariant() : QVariant();
}

QString ContentViewModel::elevenLabsStatusText() const {
    return WindowTexts::elevenLabsStatusText(m_model->elevenLabsStatus());
}

QString ContentViewModel::listenSubtitle() const {
    return WindowTexts::listenSubtitle(m_model->meetingSpeech().isListening(),
                                       m_model->selectedApplication());
}

QString ContentViewModel::modelStatusText() const {
    return WindowTexts::modelStatusText(m_model->meetingSpeech().modelProgressReport());
}

QString ContentViewModel::koreanModelStatusText() const {
    return WindowTexts::koreanModelStatusText(m_model->koreanSpeech().modelProgress());
}

QString ContentViewModel::englishCaptionText() const {
    const INemotronCaptionService& speech = m_model->meetingSpeech();
    return WindowTexts::englishCaptionText(speech.transcript(), speech.isListening());
}

QString ContentViewModel::captionLagText() const {
    return WindowTexts::captionLagText(m_model->meetingSpeech().lagSeconds());
}

QString ContentViewModel::captionSkipText() const {
    return WindowTexts::captionSkipText(m_model->meetingSpeech().skippedSeconds());
}

QVariantList ContentViewModel::applicationOptions() const {
    QVariantList options;
    for (const CaptureApplication& application : m_model->applications()) {
        QVariantMap entry = option(application.id, application.title);
        if (!application.iconPath.isEmpty())
            entry.insert(QStringLiteral("icon"), QUrl::fromLocalFile(application.iconPath));
        options.append(entry);
    }
    return options;
}

QVariantList ContentViewModel::deviceOptions() const {
    QVariantList options;
    for (const AudioDevice& device : m_model->audioOutput().devices())
        options.append(option(device.id, device.name));
    return options;
}

QVariantList ContentViewModel::elevenLabsVoiceOptions() const {
    QVariantList options;
    for (const ElevenLabsVoice& voice : m_model->elevenLabsVoices())
        options.append(option(voice.voiceID, voice.name));
    return options;
}

bool ContentViewModel::isSelectedElevenLabsVoiceAvailable() const {
    return m_model->selectedElevenLabsVoice().has_value();
}

// One tile per free voice, then the chosen ElevenLabs voice when a key is stored.
QVariantList ContentViewModel::voiceTiles() const {
    const bool local = m_model->voiceSource() == VoiceSource::local;
    QVariantList tiles;
    for (const LocalVoicePreset& preset : LocalVoicePreset::all()) {
        tiles.append(QVariantMap{
            {QStringLiteral("presetID"), preset.id},
            {QStringLiteral("name"), preset.systemName},
            {QStringLiteral("detail"), WindowTexts::voiceTileDetail(preset)},
            {QStringLiteral("isSelected"), local && m_model->selectedLocalVoiceID() == preset.id},
        });
    }
    const std::optional<ElevenLabsVoice> voice = m_model->selectedElevenLabsVoice();
    if (!m_model->hasElevenLabsAPIKey() || !voice)
        return tiles;
    tiles.append(QVariantMap{
        {QStringLiteral("presetID"), QString()},
        {QStringLiteral("name"), voice->name},
        {QStringLiteral("detail"), QStringLiteral("ElevenLabs")},
        {QStringLiteral("isSelected"), !local},
    });
    return tiles;
}

QString ContentViewModel::virtualMicrophoneCommand() const {
    return WindowTexts::virtualMicrophoneCommand();
}

void ContentViewModel::setActiveSheet(const QString& sheet) {
    if (m_activeSheet == sheet)
        return;
    m_activeSheet = sheet;
    emit activeSheetChanged();
}

void ContentViewModel::setElevenLabsAPIKey(const QString& key) {
    if (m_elevenLabsAPIKey == key)
        return;
    m_elevenLabsAPIKey = key;
    emit elevenLabsAPIKeyChanged();
}

void ContentViewModel::setReportText(const QString& text) {
    if (m_reportText == text)
        return;
    m_reportText = text;
    emit reportTextChanged();
}

void ContentViewModel::setReportIncludesState(bool includes) {
    if (m_reportIncludesState == includes)
        return;
    m_reportIncludesState = includes;
    emit reportIncludesStateChanged();
}

QVariant ContentViewModel::reportNoteValue() const {
    return variantOf(m_reportNote);
}

void ContentViewModel::setReportNote(std::optional<QString> note) {
    m_reportNote = std::move(note);
    emit reportNoteChanged();
}

QVariant ContentViewModel::setupErrorValue() const {
    return variantOf(m_setupError);
}

void ContentViewModel::setSetupError(std::optional<QString> error) {
    m_setupError = std::move(error);
    emit setupErrorChanged();
}
