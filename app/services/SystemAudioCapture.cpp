#include "app/services/SystemAudioCapture.h"

#include "app/platform/PulseApplicationRecorder.h"
#include "app/platform/PulseRecordStream.h"
#include "app/services/CaptureMixer.h"
#include "app/services/LocaleOrder.h"
#include "app/workflow/ServiceError.h"

#include <QCoreApplication>
#include <QSet>

namespace {

// 20 ms blocks keep the caption close behind the speaker.
constexpr int fragmentFrames = PulseRecordStream::sampleRate / 50;
// A paused stream of the application delays the others by at most 100 ms.
constexpr std::size_t maxLagFrames = PulseRecordStream::sampleRate / 10;

} // namespace

SystemAudioCapture::SystemAudioCapture(QString serverAddress)
    : m_serverAddress(std::move(serverAddress)), m_queueContext(std::make_unique<QObject>()) {
    m_queue.setObjectName(QStringLiteral("meeting.system.audio"));
    m_queueContext->moveToThread(&m_queue);
    m_queue.start();
}

SystemAudioCapture::~SystemAudioCapture() {
    stopNow();
    m_queue.quit();
    m_queue.wait();
}

QList<CaptureApplication>
SystemAudioCapture::applicationsFrom(const QList<PulseContext::Client>& clients,
                                     const QList<PulseContext::SinkInput>& sinkInputs,
                                     qint64 ownProcessID) {
    QSet<qint64> playing;
    for (const auto& sinkInput : sinkInputs)
        playing.insert(sinkInput.processID);
    QList<CaptureApplication> applications;
    QSet<qint64> listed;
    for (const auto& client : clients) {
        if (client.processID <= 0 || client.processID == ownProcessID || client.name.isEmpty() ||
            !playing.contains(client.processID) || listed.contains(client.processID))
            continue;
        listed.insert(client.processID);
        const QString bundle = client.binary.isEmpty() ? client.applicationID : client.binary;
        applications.append({qint32(client.processID), client.name, bundle, {}});
    }
    sortByLocale(applications,
                 [](const CaptureApplication& application) { return application.title; });
    return applications;
}

QCoro::Task<QList<CaptureApplication>> SystemAudioCapture::availableApplications() {
    PulseContext context(m_serverAddress, "meeting.pulse");
    co_return applicationsFrom(context.clients(), context.sinkInputs(),
                               QCoreApplication::applicationPid());
}

QCoro::Task<> SystemAudioCapture::start(CaptureApplication application,
                                        BufferHandler onAudioBuffer) {
    stopNow();
    const std::uint64_t generation = m_handler.install(std::move(onAudioBuffer));
    auto mixer = std::make_shared<CaptureMixer>(maxLagFrames);
    PulseApplicationRecorder::Handlers handlers{
        [this, mixer, generation](std::uint32_t stream, std::span<const float> samples) {
            post(generation, mixer->add(stream, samples));
        },
        [this, mixer, generation](std::uint32_t stream) { post(generation, mixer->end(stream)); },
        [this, generation] { m_handler.clear(generation); }};
    try {
        auto stream = std::make_unique<PulseApplicationRecorder>(m_serverAddress, application.id,
                                                                 fragmentFrames, handlers);
        if (!stream->applicationRunning())
            throw ServiceError(QStringLiteral("%1 is no longer running.").arg(application.title),
                               QStringLiteral("Capture"), 2);
        m_stream = std::move(stream);
    } catch (...) {
        m_handler.clear();
        throw;
    }
    co_return;
}

QCoro::Task<> SystemAudioCapture::stop() {
    stopNow();
    co_return;
}

void SystemAudioCapture::stopNow() {
    m_handler.clear();
    m_stream.reset();
}

void SystemAudioCapture::post(std::uint64_t generation, std::vector<float> samples) {
    if (samples.empty())
        return;
    PcmBuffer buffer({PulseRecordStream::sampleRate, 1, SampleType::float32, false},
                     int(samples.size()));
    std::ranges::copy(samples, buffer.samples<float>(0).begin());
    QMetaObject::invokeMethod(
        m_queueContext.get(),
        [this, generation, buffer = std::move(buffer)] { m_handler.deliver(generation, buffer); },
        Qt::QueuedConnection);
}
