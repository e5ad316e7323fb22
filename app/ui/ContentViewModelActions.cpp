#include "app/ui/ContentViewModel.h"

#include "app/core/ServiceError.h"
#include "app/ui/DesktopActions.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <algorithm>
#include <chrono>

// The actions behind the window's controls and the support request; ContentViewModel.cpp has
// the values the window shows.

using namespace std::chrono_literals;

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
    case Notice::Action::downloadModels:
        downloadModels();
        break;
    }
}

void ContentViewModel::downloadModels() {
    m_model->downloadModels();
}

void ContentViewModel::cancelKoreanModelDownload() {
    m_model->cancelKoreanModelDownload();
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
