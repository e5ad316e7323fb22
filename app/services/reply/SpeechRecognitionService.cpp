#include "app/services/reply/SpeechRecognitionService.h"

#include "app/core/MainThread.h"
#include "app/core/ServiceError.h"
#include "app/platform/PulseContext.h"
#include "app/platform/PulseError.h"
#include "app/services/reply/NemotronSpeechRecognizer.h"

#include <QLocale>
#include <QPointer>
#include <qcoro/qcorosignal.h>

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

const QString noMicrophone =
    QStringLiteral("마이크를 찾지 못했습니다. 마이크를 연결한 뒤 다시 시도해 주세요.");
const QString noSoundServer =
    QStringLiteral("사운드 서버에 연결하지 못했습니다. PulseAudio 또는 PipeWire가 실행 중인지 "
                   "확인한 뒤 다시 시도해 주세요.");
const QString microphoneGone = QStringLiteral(
    "마이크 연결이 끊겨 답변 녹음을 멈췄습니다. 마이크를 확인한 뒤 다시 말해 주세요.");
const QString soundServerGone =
    QStringLiteral("사운드 서버와의 연결이 끊겨 답변 녹음을 멈췄습니다. PulseAudio 또는 "
                   "PipeWire가 실행 중인지 확인한 뒤 다시 말해 주세요.");

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
    if (!m_recognizer || !m_recognizer->isAvailable()) {
        throw ServiceError(unavailableDescription(), QStringLiteral("Speech"), 1);
    }
    const bool onDevice = m_recognizer->supportsOnDeviceRecognition();
    m_request = std::make_shared<SpeechAudioBufferRequest>(SpeechAudioBufferRequest::Settings{
        .shouldReportPartialResults = true,
        .taskHint = SpeechAudioBufferRequest::TaskHint::dictation,
        .addsPunctuation = true,
        .requiresOnDeviceRecognition = onDevice});
    m_reply = std::make_shared<Reply>();
    // The microphone first: a reply that cannot record never reaches the recognizer. The
    // request keeps the blocks until the task takes them.
    startRecording();
    m_task = m_recognizer->recognitionTask(m_request, resultHandler(m_reply));
    setIsListening(true);
}

void SpeechRecognitionService::startRecording() {
    // The microphone holds the request weakly: once it is dropped, blocks go nowhere.
    auto onBuffer = [request = std::weak_ptr(m_request)](const PcmBuffer& buffer) {
        if (const auto live = request.lock()) {
            live->appendAudioPCMBuffer(buffer);
        }
    };
    auto onLost = [service = QPointer(this), reply = m_reply] {
        postToMainThread([service, reply] {
            if (service) {
                service->microphoneLost(reply);
            }
        });
    };
    try {
        m_microphone.start(std::move(onBuffer), std::move(onLost));
    } catch (const PulseError&) {
        throw ServiceError(noSoundServer, QStringLiteral("Speech"), 3);
    } catch (const ServiceError&) {
        throw ServiceError(noMicrophone, QStringLiteral("Speech"), 3);
    }
    m_microphoneRunning = true;
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
    setIsListening(false);
}

// A reply that never reached a recognizer has nothing more to come.
QCoro::Task<QString> SpeechRecognitionService::finish() {
    const auto reply = m_reply;
    if (!m_task) {
        reply->ended = true;
    }
    stop();
    while (!reply->ended) {
        co_await qCoro(this, &SpeechRecognitionService::replyEnded);
    }
    if (reply->error) {
        throw ServiceError(*reply->error, QStringLiteral("Speech"), 2);
    }
    co_return reply->text;
}

// Every partial and the final result replace the whole text, also after `stop`; the window
// follows only the latest reply.
void SpeechRecognitionService::take(const std::shared_ptr<Reply>& reply,
                                    const SpeechRecognizer::Result& result) {
    if (reply->ended) {
        return;
    }
    if (result.text) {
        reply->text = *result.text;
    }
    reply->error = result.error;
    reply->ended = result.isFinal;
    if (reply == m_reply) {
        setTranscript(reply->text);
        if (reply->error) {
            setRecognitionError(reply->error);
        }
    }
    if (reply->ended) {
        emit replyEnded();
    }
}

// The recording ended under the reply: the microphone went, or the whole sound server.
void SpeechRecognitionService::microphoneLost(const std::shared_ptr<Reply>& reply) {
    if (reply != m_reply || reply->ended || !isListening()) {
        return;
    }
    take(reply, {.text = std::nullopt,
                 .error = soundServerAnswers(m_microphoneServer) ? microphoneGone : soundServerGone,
                 .isFinal = true});
}

SpeechRecognizer::ResultHandler
SpeechRecognitionService::resultHandler(std::shared_ptr<Reply> reply) {
    return [service = QPointer(this), reply](SpeechRecognizer::Result result) {
        postToMainThread([service, reply, result = std::move(result)] {
            if (service) {
                service->take(reply, result);
            }
        });
    };
}

// The fetch goes on whatever the replies do, and the window follows it to its end.
SpeechRecognizer::ModelProgressHandler SpeechRecognitionService::modelProgressHandler() {
    return [service = QPointer(this)](const std::optional<NemotronDownloadProgress>& report) {
        postToMainThread([service, report] {
            if (service) {
                service->setModelProgress(report);
            }
        });
    };
}

bool SpeechRecognitionService::hasModel() const {
    return m_recognizer && m_recognizer->hasModel();
}

QCoro::Task<> SpeechRecognitionService::prepareModel() {
    if (!m_recognizer) {
        throw ServiceError(unavailableDescription(), QStringLiteral("Speech"), 1);
    }
    co_await m_recognizer->prepareModel();
}

void SpeechRecognitionService::cancelModelDownload() {
    if (m_recognizer) {
        m_recognizer->cancelModelFetch();
    }
}

QString SpeechRecognitionService::unavailableDescription() const {
    const auto language = QLocale(localeIdentifier()).nativeLanguageName();
    return QStringLiteral("%1 음성 인식은 이 컴퓨터에서 지원되지 않습니다. 한국어로 답해 주세요.")
        .arg(language);
}
