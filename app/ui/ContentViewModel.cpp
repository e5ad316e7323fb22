#include "app/ui/ContentViewModel.h"

#include "app/core/Observable.h"
#include "app/core/ServiceError.h"
#include "app/ui/DesktopActions.h"
#include "app/ui/GuideParser.h"
#include "app/ui/WindowTexts.h"

#include <QCoreApplication>
#include <QMetaMethod>
#include <QSysInfo>
#include <QUrl>
#include <algorithm>
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
    forwardChanges(&model);
    forwardChanges(&model.meetingSpeech());
    forwardChanges(&model.koreanSpeech());
    forwardChanges(&model.audioOutput());
    m_virtualMicrophonePoll.setInterval(3s);
    connect(&m_virtualMicrophonePoll, &QTimer::timeout, this,
            &ContentViewModel::pollVirtualMicrophone);
    m_virtualMicrophonePoll.start();
}

ContentViewModel::~ContentViewModel() = default;

// Every announced change of the controller or an observed service may change a
// derived value, so each one is passed on as `stateChanged`.
void ContentViewModel::forwardChanges(QObject* source) {
    const QMetaObject* meta = source->metaObject();
    const QMetaMethod target = QMetaMethod::fromSignal(&ContentViewModel::stateChanged);
    for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Signal)
            connect(source, meta->method(i), this, target);
    }
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

std::optional<Notice> ContentViewModel::currentNotice() const {
    return Notice::forStatus(m_model->phase(), m_model->statusMessage(), hasBlackHole());
}

// The status card: the workflow's notice, else the model-preparation note, else nothing.
QVariant ContentViewModel::currentNoticeValue() const {
    if (const std::optional<Notice> notice = currentNotice())
        return notice->toVariant();
    if (m_model->meetingSpeech().isPreparing())
        return Notice::preparingModel().toVariant();
    return {};
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

void ContentViewModel::refreshApplications() {
    m_model->refreshApplications();
}

void ContentViewModel::startMeetingListening() {
    m_model->startMeetingListening();
}

void ContentViewModel::stopMeetingListening() {
    m_model->stopMeetingListening();
}

void ContentViewModel::startKoreanReply() {
    m_model->startKoreanReply();
}

void ContentViewModel::cancelKoreanReply() {
    m_model->cancelKoreanReply();
}

void ContentViewModel::finishKoreanReply() {
    m_model->finishKoreanReply();
}

void ContentViewModel::previewAnswer() {
    QCoro::connect(m_model->generateApprovedVoice(), m_model.data(), [model = m_model](bool ready) {
        if (ready)
            model->preview();
    });
}

void ContentViewModel::sendAnswer() {
    QCoro::connect(m_model->generateApprovedVoice(), m_model.data(), [model = m_model](bool ready) {
        if (ready)
            model->sendToMeeting();
    });
}

void ContentViewModel::chooseLocalVoice(const QString& presetID) {
    if (m_model->voiceSource() == VoiceSource::elevenLabs)
        m_model->selectVoiceSource(VoiceSource::local);
    m_model->selectLocalVoice(presetID);
}

void ContentViewModel::chooseElevenLabsSource() {
    m_model->selectVoiceSource(VoiceSource::elevenLabs);
}

void ContentViewModel::chooseElevenLabsVoice(const QVariant& voiceID) {
    m_model->selectElevenLabsVoice(voiceID.isNull() ? std::nullopt
                                                    : std::optional(voiceID.toString()));
}

void ContentViewModel::connectElevenLabs() {
    if (m_elevenLabsAPIKey.trimmed().isEmpty())
        return;
    QCoro::connect(m_model->connectElevenLabs(m_elevenLabsAPIKey), this, [this] {
        if (m_model->hasElevenLabsAPIKey())
            setElevenLabsAPIKey({});
    });
}

void ContentViewModel::forgetElevenLabsAPIKey() {
    m_model->forgetElevenLabsAPIKey();
}

void ContentViewModel::refreshElevenLabsVoices() {
    m_model->refreshElevenLabsVoices();
}

void ContentViewModel::refreshDevices() {
    m_model->audioOutput().refreshDevices();
}

// Keeps the user's virtual microphone, else selects the first one present.
void ContentViewModel::recheckVirtualMicrophone() {
    IAudioOutput& audio = m_model->audioOutput();
    audio.refreshDevices();
    if (isVirtualMicrophoneSelected())
        return;
    const QList<AudioDevice> devices = audio.devices();
    const auto virtualDevice =
        std::find_if(devices.begin(), devices.end(),
                     [](const AudioDevice& d) { return d.isLikelyVirtualMicrophone(); });
    if (virtualDevice != devices.end())
        audio.setSelectedDeviceID(virtualDevice->id);
}

void ContentViewModel::pollVirtualMicrophone() {
    if (!hasBlackHole())
        recheckVirtualMicrophone();
}

// On Linux the program makes the virtual microphone itself instead of sending
// the user to a download page.
void ContentViewModel::createVirtualMicrophone() {
    createVirtualMicrophoneTask();
}

QCoro::Task<> ContentViewModel::createVirtualMicrophoneTask() {
    QPointer self = this;
    QPointer model = m_model;
    try {
        co_await model->audioOutput().createVirtualMicrophone();
        if (self)
            self->setSetupError(std::nullopt);
    } catch (const std::exception& error) {
        if (self)
            self->setSetupError(describe(error));
    }
}

void ContentViewModel::copyVirtualMicrophoneCommand() {
    DesktopActions::copyToClipboard(virtualMicrophoneCommand());
}

void ContentViewModel::openSoundSettings() {
    DesktopActions::openSoundSettings();
}

// The notice is derived again, so the action follows the devices present now.
void ContentViewModel::performNoticeAction() {
    const std::optional<Notice> notice = currentNotice();
    if (!notice)
        return;
    switch (notice->action) {
    case Notice::Action::none:
        break;
    case Notice::Action::openSoundSettings:
        openSoundSettings();
        break;
    case Notice::Action::openSettings:
        openSettings();
        break;
    case Notice::Action::createVirtualMicrophone:
        createVirtualMicrophone();
        break;
    case Notice::Action::refreshApplications:
        refreshApplications();
        break;
    }
}

void ContentViewModel::openSettings() {
    setActiveSheet(QStringLiteral("settings"));
}

// A sheet closes before the next one opens, so the guide follows a moment later.
void ContentViewModel::openGuide() {
    if (m_activeSheet != QStringLiteral("settings")) {
        setActiveSheet(QStringLiteral("guide"));
        return;
    }
    setActiveSheet({});
    QTimer::singleShot(350ms, this, [this] { setActiveSheet(QStringLiteral("guide")); });
}

void ContentViewModel::closeSheet() {
    setActiveSheet({});
}

DiagnosticsSnapshot ContentViewModel::diagnosticsSnapshot() const {
    const AppViewModel& model = *m_model;
    const IAudioOutput& audio = model.audioOutput();
    const INemotronCaptionService& speech = model.meetingSpeech();
    DiagnosticsSnapshot state;
    const QString version = QCoreApplication::applicationVersion();
    if (!version.isEmpty())
        state.appVersion = version;
    state.systemVersion = QSysInfo::prettyProductName();
    state.phaseText = phaseText();
    state.phaseRawValue = AssistPhases::rawValue(model.phase());
    state.statusMessage = model.statusMessage();
    if (const std::optional<CaptureApplication> application = model.selectedApplication())
        state.applicationTitle = application->title;
    state.applicationCount = model.applications().size();
    for (const AudioDevice& device : audio.devices()) {
        if (device.id == audio.selectedDeviceID()) {
            state.deviceName = device.name;
            break;
        }
    }
    state.hasBlackHole = hasBlackHole();
    state.voiceName = model.voiceSource() == VoiceSource::elevenLabs
                          ? QStringLiteral("ElevenLabs")
                          : model.selectedLocalVoice().systemName;
    state.hasElevenLabsAPIKey = model.hasElevenLabsAPIKey();
    state.isListening = speech.isListening();
    state.isPreparing = speech.isPreparing();
    state.recognitionError = speech.recognitionError();
    return state;
}

QString ContentViewModel::diagnostics() const {
    return TroubleshootingReport::diagnostics(diagnosticsSnapshot());
}

void ContentViewModel::sendReport() {
    deliverReport();
}

QCoro::Task<> ContentViewModel::deliverReport() {
    QPointer self = this;
    const std::optional<QString> state =
        m_reportIncludesState ? std::optional(diagnostics()) : std::nullopt;
    std::optional<QString> note =
        co_await TroubleshootingReport::send(m_reportText, state, *m_delivery);
    if (self && note)
        self->setReportNote(std::move(note));
}

void ContentViewModel::windowBecameActive() {
    refreshApplications();
    recheckVirtualMicrophone();
}
