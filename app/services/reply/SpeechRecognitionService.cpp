#include "app/services/reply/SpeechRecognitionService.h"

#include "app/platform/PulseContext.h"
#include "app/services/reply/NemotronSpeechRecognizer.h"
#include "app/workflow/ServiceError.h"

#include <QCoreApplication>
#include <QLocale>
#include <QPointer>

namespace {

// On Linux there is no permission prompt: the microphone may be recorded when the sound
// server answers.
bool soundServerAnswers(const QString& serverAddress) {
    try {
        const PulseContext context(serverAddress, "microphone-access");
        return context.isConnected();
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

SpeechRecognitionService::SpeechRecognitionService(QString localeIdentifier, QObject* parent)
    : SpeechRecognitionService(localeIdentifier,
                               NemotronSpeechRecognizer::forLocale(localeIdentifier), {}, parent) {}

SpeechRecognitionService::SpeechRecognitionService(QString localeIdentifier,
                                                   std::unique_ptr<SpeechRecognizer> recognizer,
                                                   QString microphoneServer, QObject* parent)
    : ISpeechRecognitionService(std::move(localeIdentifier), parent),
      m_recognizer(std::move(recognizer)), m_microphoneServer(std::move(microphoneServer)),
      m_microphone(m_microphoneServer) {
    if (m_recognizer) {
        m_recognizer->setModelProgressHandler(modelProgressHandler());
    }
}

SpeechRecognitionService::~SpeechRecognitionService() {
    stop();
}

QCoro::Task<bool> SpeechRecognitionService::requestPermissions() {
    const bool speechAuthorized = m_recognizer && co_await m_recognizer->requestAuthorization();
    const bool microphoneAllowed = soundServerAnswers(m_microphoneServer);
    co_return speechAuthorized&& microphoneAllowed;
}

void SpeechRecognitionService::startMicrophone() {
    stop();
    setTranscript(QString());
    setRecognitionError(std::nullopt);

    const bool onDevice = m_recognizer && m_recognizer->supportsOnDeviceRecognition();
    m_request = std::make_shared<SpeechAudioBufferRequest>(SpeechAudioBufferRequest::Settings{
        .shouldReportPartialResults = true,
        .taskHint = SpeechAudioBufferRequest::TaskHint::dictation,
        .addsPunctuation = true,
        .requiresOnDeviceRecognition = onDevice});
    if (!m_recognizer || !m_recognizer->isAvailable()) {
        throw ServiceError(unavailableDescription(), QStringLiteral("Speech"), 1);
    }
    m_task = m_recognizer->recognitionTask(m_request, resultHandler());

    // The microphone holds the request weakly: once it is dropped, blocks go nowhere.
    m_microphoneRunning = true;
    m_microphone.start([request = std::weak_ptr(m_request)](const PcmBuffer& buffer) {
        if (const auto live = request.lock()) {
            live->appendAudioPCMBuffer(buffer);
        }
    });
    setIsListening(true);
}

void SpeechRecognitionService::stop() {
    if (m_microphoneRunning) {
        m_microphone.stop();
        m_microphoneRunning = false;
    }
    if (m_request) {
        m_request->endAudio();
    }
    if (m_task) {
        m_task->finish();
    }
    m_request.reset();
    m_task.reset();
    setModelProgress(std::nullopt);
    setIsListening(false);
}

// Every partial and the final result replace the whole text, also after `stop`.
SpeechRecognizer::ResultHandler SpeechRecognitionService::resultHandler() {
    return [service = QPointer(this)](std::optional<QString> text, std::optional<QString> error) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [service, text = std::move(text), error = std::move(error)] {
                if (service) {
                    service->setModelProgress(std::nullopt);
                }
                if (text && service) {
                    service->setTranscript(*text);
                }
                if (error && service) {
                    service->setRecognitionError(*error);
                }
            },
            Qt::QueuedConnection);
    };
}

// Reports reach the window only while a reply waits for the model.
SpeechRecognizer::ModelProgressHandler SpeechRecognitionService::modelProgressHandler() {
    return [service = QPointer(this)](const NemotronDownloadProgress& report) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [service, report] {
                if (service && service->isListening()) {
                    service->setModelProgress(report);
                }
            },
            Qt::QueuedConnection);
    };
}

QString SpeechRecognitionService::unavailableDescription() const {
    const auto language = QLocale(localeIdentifier()).nativeLanguageName();
    return QStringLiteral("%1 음성 인식을 사용할 수 없습니다. 음성 모델이 설치되어 있지 않습니다. "
                          "RLY_KO_MODEL_REPO에 모델 저장소를 지정하고 터미널에서 "
                          "./relayo models 를 실행해 모델을 내려받은 뒤 다시 시도해 주세요.")
        .arg(language);
}
