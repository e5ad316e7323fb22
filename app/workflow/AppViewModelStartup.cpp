#include "app/workflow/AppViewModel.h"

#include "app/core/Observable.h"
#include "app/core/ServiceError.h"
#include "app/workflow/FirstWhere.h"
#include "app/workflow/ScreenshotMode.h"

namespace {

// Screenshot mode shows an empty field where a translation failed.
QCoro::Task<QString> textOrEmpty(QCoro::Task<QString> translation) {
    try {
        co_return co_await std::move(translation);
    } catch (const std::exception&) {
        co_return QString();
    }
}

} // namespace

// The voices come from the network and may take a minute: they load beside the application
// list and the devices, which the window needs at once.
QCoro::Task<> AppViewModel::prepare() {
    QPointer self(this);
    const auto key = co_await m_services.keychain->loadAPIKey();
    if (!self)
        co_return;
    assign(this, m_hasElevenLabsAPIKey, key.has_value(), &AppViewModel::hasElevenLabsAPIKeyChanged);
    if (m_hasElevenLabsAPIKey)
        refreshElevenLabsVoices();
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
        failListening(QStringLiteral("Connect to the sound server so the app can listen only to "
                                     "the selected meeting app. ") +
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
