#include "app/services/audio/SystemAudioCapture.h"

#include "app/core/ServiceError.h"
#include "app/platform/PulseApplicationRecorder.h"
#include "app/platform/PulseRecordStream.h"
#include "app/services/audio/CaptureMixer.h"
#include "app/services/audio/LocaleOrder.h"

#include <QCoreApplication>
#include <QSet>

namespace {

// 20 ms blocks keep the caption close behind the speaker.
constexpr int fragmentFrames = PulseRecordStream::sampleRate / 50;
// A paused stream of the application delays the others by at most 100 ms.
constexpr std::size_t maxLagFrames = PulseRecordStream::sampleRate / 10;

// Whether a program is never a meeting application: the sound server (PipeWire lists its
// daemon, its PulseAudio server with the devices made through it, and its session manager as
// clients) or Relayo. A process's command name is cut to 15 characters.
bool isExcludedProgram(const QString& program) {
    static const QStringList programs{
        QStringLiteral("pipewire"),    QStringLiteral("pipewire-pulse"),
        QStringLiteral("wireplumber"), QStringLiteral("pipewire-media-session"),
        QStringLiteral("pulseaudio"),  QStringLiteral("relayo-app")};
    return !program.isEmpty() && std::ranges::any_of(programs, [&](const QString& excluded) {
        return program == excluded || (program.size() == 15 && excluded.startsWith(program));
    });
}

} // namespace

SystemAudioCapture::SystemAudioCapture(QString serverAddress, QString processRoot)
    : m_serverAddress(std::move(serverAddress)), m_processRoot(std::move(processRoot)),
      m_queueContext(std::make_unique<QObject>()) {
    m_queue.setObjectName(QStringLiteral("meeting.system.audio"));
    m_queueContext->moveToThread(&m_queue);
    m_queue.start();
}

SystemAudioCapture::~SystemAudioCapture() {
    stopNow();
    m_queue.quit();
    m_queue.wait();
}

bool SystemAudioCapture::isMeetingProgram(const QString& program) {
    static const QStringList words{
        QStringLiteral("chrome"),  QStringLiteral("chromium"), QStringLiteral("firefox"),
        QStringLiteral("brave"),   QStringLiteral("msedge"),   QStringLiteral("opera"),
        QStringLiteral("vivaldi"), QStringLiteral("zoom"),     QStringLiteral("teams"),
        QStringLiteral("webex"),   QStringLiteral("discord"),  QStringLiteral("slack"),
        QStringLiteral("skype")};
    const QString lower = program.toLower();
    return std::ranges::any_of(words, [&](const QString& word) { return lower.contains(word); });
}

QList<CaptureApplication>
SystemAudioCapture::applicationsFrom(const QList<PulseContext::Client>& clients,
                                     const ProcessTable& processes, const DesktopEntries& desktop,
                                     qint64 ownProcessID) {
    QList<CaptureApplication> applications;
    QSet<qint64> listed;
    auto add = [&](qint64 id, const QString& name, const QString& bundle, const QString& binary,
                   const QString& sandboxID, const QString& iconName) {
        if (id <= 0 || id == ownProcessID || listed.contains(id))
            return;
        const auto entry = desktop.find(sandboxID, binary, name);
        const QString title = entry ? entry->name : name;
        if (title.isEmpty())
            return;
        listed.insert(id);
        const QString icon =
            entry && !entry->iconPath.isEmpty() ? entry->iconPath : desktop.iconPath(iconName);
        applications.append({qint32(id), title, bundle, {}, icon});
    };
    for (const auto& client : clients) {
        if ((client.processID <= 0 && client.hostProcessID <= 0) ||
            isExcludedProgram(client.binary))
            continue;
        const qint64 root = processes.applicationRoot(
            processes.hostProcessOf(client.processID, client.binary, client.hostProcessID));
        const auto* process = processes.find(root);
        // A client that does not name its program is known by its process.
        if (process && isExcludedProgram(process->name))
            continue;
        const QString sandboxID = !client.sandboxID.isEmpty() ? client.sandboxID
                                  : process                   ? process->sandboxID
                                                              : QString();
        add(root, client.name, client.binary.isEmpty() ? client.applicationID : client.binary,
            client.binary, sandboxID, client.iconName);
    }
    const auto isMeeting = [](const ProcessTable::Process& process) {
        return (isMeetingProgram(process.name) || isMeetingProgram(process.sandboxID)) &&
               !process.name.contains(QStringLiteral("crashpad"));
    };
    for (const auto& process : processes.processes()) {
        // Helpers a meeting application starts belong to it.
        if (isMeeting(process) && !processes.nearestAncestor(process.id, isMeeting))
            add(process.id, process.name, process.name, process.name, process.sandboxID, {});
    }
    sortByLocale(applications,
                 [](const CaptureApplication& application) { return application.title; });
    return applications;
}

QCoro::Task<QList<CaptureApplication>> SystemAudioCapture::availableApplications() {
    PulseContext context(m_serverAddress, "meeting.pulse");
    co_return applicationsFrom(context.clients(), ProcessTable::read(m_processRoot),
                               DesktopEntries(DesktopEntries::systemDataFolders()),
                               QCoreApplication::applicationPid());
}

QCoro::Task<> SystemAudioCapture::start(CaptureApplication application, BufferHandler onAudioBuffer,
                                        EndHandler onEnded) {
    stopNow();
    const std::uint64_t generation = m_handler.install(std::move(onAudioBuffer));
    auto mixer = std::make_shared<CaptureMixer>(maxLagFrames);
    PulseApplicationRecorder::Handlers handlers{
        [this, mixer, generation](std::uint32_t stream, std::span<const float> samples) {
            post(generation, mixer->add(stream, samples));
        },
        [this, mixer, generation](std::uint32_t stream) { post(generation, mixer->end(stream)); },
        [this, generation, onEnded = std::move(onEnded)] {
            if (m_handler.clear(generation))
                onEnded();
        }};
    try {
        auto stream = std::make_unique<PulseApplicationRecorder>(m_serverAddress, application.id,
                                                                 fragmentFrames, handlers);
        if (!stream->applicationRunning())
            throw ServiceError(
                QStringLiteral("%1이(가) 종료되어 소리를 들을 수 없어요. 회의 앱을 다시 켠 뒤 골라 "
                               "주세요.")
                    .arg(application.title),
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
